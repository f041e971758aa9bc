// RAII ownership of GStreamer and GLib references.
//
// TGstPtr<T> holds exactly one reference to a T and drops it when it goes out
// of scope. Two ways in:
//   - TGstPtr<T>::Adopt(p): takes over a reference the caller already owns
//     (what a *_new, *_make, *_get_* "transfer full" call returns). For
//     GstObject-derived types a floating reference (fresh elements, pads,
//     device monitors...) is sunk first, so the handle really owns it and a
//     later gst_bin_add takes a reference of its own.
//   - TGstPtr<T>::Ref(p): takes a new reference to a borrowed pointer.
// Copies take a further reference; moves transfer.
//
// The type list below covers what the program uses; add a TRAITS line for a
// new type rather than writing a free-standing unref.
#pragma once

#include <glib-object.h>
#include <gst/gst.h>
#include <gst/pbutils/pbutils.h>

#include <utility>

namespace wavecrate {

template <typename T>
struct TGstTraits;  // no default: an unknown type is a compile error

namespace gst_handles_detail {

// GstObject-derived: gst_object_ref/unref, floating references sunk.
template <typename T>
struct TGstObjectTraits {
  static void Ref(T* p) { gst_object_ref(p); }
  static void Unref(T* p) { gst_object_unref(p); }
  static void Sink(T* p) {
    if (g_object_is_floating(p)) gst_object_ref_sink(p);
  }
};

// Plain GObjects (not GstObject): g_object_ref/unref, floating sunk as well.
template <typename T>
struct TGObjectTraits {
  static void Ref(T* p) { g_object_ref(p); }
  static void Unref(T* p) { g_object_unref(p); }
  static void Sink(T* p) {
    if (g_object_is_floating(p)) g_object_ref_sink(p);
  }
};

// GstMiniObject-derived (caps, buffers, events...): never floating.
template <typename T>
struct TGstMiniObjectTraits {
  static void Ref(T* p) { gst_mini_object_ref(GST_MINI_OBJECT_CAST(p)); }
  static void Unref(T* p) { gst_mini_object_unref(GST_MINI_OBJECT_CAST(p)); }
  static void Sink(T*) {}
};

}  // namespace gst_handles_detail

#define WAVECRATE_GST_OBJECT_TRAITS(T) \
  template <>                          \
  struct TGstTraits<T> : gst_handles_detail::TGstObjectTraits<T> {}
#define WAVECRATE_GOBJECT_TRAITS(T) \
  template <>                       \
  struct TGstTraits<T> : gst_handles_detail::TGObjectTraits<T> {}
#define WAVECRATE_GST_MINI_OBJECT_TRAITS(T) \
  template <>                               \
  struct TGstTraits<T> : gst_handles_detail::TGstMiniObjectTraits<T> {}

WAVECRATE_GST_OBJECT_TRAITS(GstObject);
WAVECRATE_GST_OBJECT_TRAITS(GstElement);
WAVECRATE_GST_OBJECT_TRAITS(GstBin);
WAVECRATE_GST_OBJECT_TRAITS(GstPipeline);
WAVECRATE_GST_OBJECT_TRAITS(GstPad);
WAVECRATE_GST_OBJECT_TRAITS(GstGhostPad);
WAVECRATE_GST_OBJECT_TRAITS(GstBus);
WAVECRATE_GST_OBJECT_TRAITS(GstClock);
WAVECRATE_GST_OBJECT_TRAITS(GstDevice);
WAVECRATE_GST_OBJECT_TRAITS(GstDeviceMonitor);
WAVECRATE_GST_OBJECT_TRAITS(GstElementFactory);
WAVECRATE_GST_OBJECT_TRAITS(GstPluginFeature);
WAVECRATE_GST_OBJECT_TRAITS(GstPlugin);
WAVECRATE_GST_OBJECT_TRAITS(GstPadTemplate);

WAVECRATE_GOBJECT_TRAITS(GstDiscoverer);
WAVECRATE_GOBJECT_TRAITS(GstDiscovererInfo);
WAVECRATE_GOBJECT_TRAITS(GstDiscovererStreamInfo);

WAVECRATE_GST_MINI_OBJECT_TRAITS(GstCaps);
WAVECRATE_GST_MINI_OBJECT_TRAITS(GstBuffer);
WAVECRATE_GST_MINI_OBJECT_TRAITS(GstBufferList);
WAVECRATE_GST_MINI_OBJECT_TRAITS(GstEvent);
WAVECRATE_GST_MINI_OBJECT_TRAITS(GstMessage);
WAVECRATE_GST_MINI_OBJECT_TRAITS(GstQuery);
WAVECRATE_GST_MINI_OBJECT_TRAITS(GstSample);
WAVECRATE_GST_MINI_OBJECT_TRAITS(GstTagList);

#undef WAVECRATE_GST_OBJECT_TRAITS
#undef WAVECRATE_GOBJECT_TRAITS
#undef WAVECRATE_GST_MINI_OBJECT_TRAITS

template <typename T>
class TGstPtr {
 public:
  TGstPtr() = default;
  TGstPtr(std::nullptr_t) {}  // NOLINT(google-explicit-constructor)
  ~TGstPtr() { reset(); }

  // Takes over an owned (or floating) reference.
  static TGstPtr Adopt(T* p) {
    TGstPtr h;
    if (p) TGstTraits<T>::Sink(p);
    h.p_ = p;
    return h;
  }
  // Takes a new reference to a borrowed pointer.
  static TGstPtr Ref(T* p) {
    TGstPtr h;
    if (p) TGstTraits<T>::Ref(p);
    h.p_ = p;
    return h;
  }

  TGstPtr(const TGstPtr& o) : p_(o.p_) {
    if (p_) TGstTraits<T>::Ref(p_);
  }
  TGstPtr(TGstPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  TGstPtr& operator=(const TGstPtr& o) {
    if (this != &o) {
      TGstPtr tmp(o);
      swap(tmp);
    }
    return *this;
  }
  TGstPtr& operator=(TGstPtr&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // Gives up ownership without unref; the caller now owns the reference
  // (for "transfer full" parameters such as gst_pad_push).
  [[nodiscard]] T* release() { return std::exchange(p_, nullptr); }
  void reset() {
    if (T* p = std::exchange(p_, nullptr)) TGstTraits<T>::Unref(p);
  }
  void swap(TGstPtr& o) noexcept { std::swap(p_, o.p_); }

 private:
  T* p_ = nullptr;
};

template <typename T>
TGstPtr<T> AdoptGst(T* p) {
  return TGstPtr<T>::Adopt(p);
}
template <typename T>
TGstPtr<T> RefGst(T* p) {
  return TGstPtr<T>::Ref(p);
}

// A GError* owned until scope end; pass Out() to a GLib call.
class TGErrorPtr {
 public:
  TGErrorPtr() = default;
  ~TGErrorPtr() { reset(); }
  TGErrorPtr(const TGErrorPtr&) = delete;
  TGErrorPtr& operator=(const TGErrorPtr&) = delete;
  TGErrorPtr(TGErrorPtr&& o) noexcept : e_(std::exchange(o.e_, nullptr)) {}
  TGErrorPtr& operator=(TGErrorPtr&& o) noexcept {
    if (this != &o) {
      reset();
      e_ = std::exchange(o.e_, nullptr);
    }
    return *this;
  }

  GError** Out() {
    reset();
    return &e_;
  }
  GError* get() const { return e_; }
  explicit operator bool() const { return e_ != nullptr; }
  const char* Message() const { return e_ && e_->message ? e_->message : ""; }
  void reset() {
    if (GError* e = std::exchange(e_, nullptr)) g_error_free(e);
  }

 private:
  GError* e_ = nullptr;
};

// A g_malloc'd string (gchar*) freed with g_free.
class TGCharPtr {
 public:
  TGCharPtr() = default;
  explicit TGCharPtr(gchar* s) : s_(s) {}
  ~TGCharPtr() { g_free(s_); }
  TGCharPtr(const TGCharPtr&) = delete;
  TGCharPtr& operator=(const TGCharPtr&) = delete;
  TGCharPtr(TGCharPtr&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
  TGCharPtr& operator=(TGCharPtr&& o) noexcept {
    if (this != &o) {
      g_free(s_);
      s_ = std::exchange(o.s_, nullptr);
    }
    return *this;
  }

  gchar** Out() {
    g_free(std::exchange(s_, nullptr));
    return &s_;
  }
  const gchar* get() const { return s_; }
  // Never null: "" for an empty handle.
  const char* c_str() const { return s_ ? s_ : ""; }
  explicit operator bool() const { return s_ != nullptr; }

 private:
  gchar* s_ = nullptr;
};

// A GstIterator freed with gst_iterator_free.
class TGstIteratorPtr {
 public:
  explicit TGstIteratorPtr(GstIterator* it) : it_(it) {}
  ~TGstIteratorPtr() {
    if (it_) gst_iterator_free(it_);
  }
  TGstIteratorPtr(const TGstIteratorPtr&) = delete;
  TGstIteratorPtr& operator=(const TGstIteratorPtr&) = delete;
  GstIterator* get() const { return it_; }

 private:
  GstIterator* it_ = nullptr;
};

}  // namespace wavecrate
