#include "audio/gst/Mp3Converter.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "audio/gst/GraphServices.h"
#include "audio/gst/GstHandles.h"
#include "audio/gst/WavDestFilter.h"

namespace wavecrate {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Shared with decodebin's signal handlers, which run on its streaming
// threads; lives on the converting thread's stack until the pipeline is NULL.
struct TDecodeLinks {
  GstElement* Pipeline = nullptr;
  GstElement* Encoder = nullptr;
  std::mutex Mutex;
  bool AudioLinked = false;
};

bool IsAudioPad(GstPad* pad) {
  TGstPtr<GstCaps> caps = AdoptGst(gst_pad_get_current_caps(pad));
  if (!caps) caps = AdoptGst(gst_pad_query_caps(pad, nullptr));
  if (!caps || gst_caps_is_empty(caps.get()) || gst_caps_is_any(caps.get())) return false;
  return g_str_has_prefix(gst_structure_get_name(gst_caps_get_structure(caps.get(), 0)), "audio/");
}

// decodebin's "pad-added" (streaming thread): the first audio stream goes to
// the encoder, every other stream into a fakesink so it cannot stall the
// pipeline with not-linked.
void OnPadAdded(GstElement*, GstPad* pad, gpointer data) {
  auto* links = static_cast<TDecodeLinks*>(data);
  std::lock_guard<std::mutex> lock(links->Mutex);
  if (!links->AudioLinked && IsAudioPad(pad)) {
    TGstPtr<GstPad> sink = AdoptGst(gst_element_get_static_pad(links->Encoder, "sink"));
    if (gst_pad_link(pad, sink.get()) == GST_PAD_LINK_OK) {
      links->AudioLinked = true;
      return;
    }
    std::fprintf(stderr, "mp3: could not link the decoded audio to the encoder\n");
  }
  GstElement* discard = gst_element_factory_make("fakesink", nullptr);
  if (!discard) return;
  g_object_set(discard, "sync", FALSE, "async", FALSE, nullptr);
  gst_bin_add(GST_BIN(links->Pipeline), discard);  // the bin owns it now
  gst_element_sync_state_with_parent(discard);
  TGstPtr<GstPad> sink = AdoptGst(gst_element_get_static_pad(discard, "sink"));
  gst_pad_link(pad, sink.get());
}

// decodebin's "no-more-pads" (streaming thread).
void OnNoMorePads(GstElement* decodebin, gpointer data) {
  auto* links = static_cast<TDecodeLinks*>(data);
  std::lock_guard<std::mutex> lock(links->Mutex);
  if (links->AudioLinked) return;
  GError* error =
      g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_WRONG_TYPE, "The source holds no audio");
  gst_element_post_message(decodebin,
                           gst_message_new_error(GST_OBJECT(decodebin), error, "no audio stream was found"));
  g_error_free(error);
}

// Stall watchdog, called by TGraph::WaitForEnd every 100 ms on the
// converting thread.
struct TStallWatch {
  GstElement* Writer = nullptr;
  std::chrono::milliseconds Limit{};
  guint LastBytes = 0;
  SteadyClock::time_point LastChange = SteadyClock::now();
  bool Stalled = false;
};

bool StillMoving(void* context) {
  auto* watch = static_cast<TStallWatch*>(context);
  guint bytes = 0;
  g_object_get(watch->Writer, "data-bytes", &bytes, nullptr);
  const auto now = SteadyClock::now();
  if (bytes != watch->LastBytes) {
    watch->LastBytes = bytes;
    watch->LastChange = now;
    return true;
  }
  watch->Stalled = now - watch->LastChange > watch->Limit;
  return !watch->Stalled;
}

}  // namespace

TGstMp3Converter::TGstMp3Converter() : TGstMp3Converter(TOptions{}) {}

TGstMp3Converter::TGstMp3Converter(TOptions options) : options_(std::move(options)) {}

bool TGstMp3Converter::ConvertToMp3(const std::string& source, const std::string& target) {
  const std::atomic<bool> never{false};
  return ConvertToMp3(source, target, never);
}

bool TGstMp3Converter::Fail(const std::string& target, std::string why) {
  lastError_ = std::move(why);
  std::error_code ec;
  std::filesystem::remove(target, ec);
  std::fprintf(stderr, "mp3: conversion into %s failed: %s\n", target.c_str(), lastError_.c_str());
  return false;
}

bool TGstMp3Converter::ConvertToMp3(const std::string& source, const std::string& target,
                                    const std::atomic<bool>& cancel) {
  lastError_.clear();
  if (!RegisterWavDestFilter()) return Fail(target, "GStreamer is not available");
  // Only regular files: a FIFO or a device could block filesrc for ever.
  std::error_code ec;
  if (!std::filesystem::is_regular_file(source, ec)) return Fail(target, "no such file: " + source);

  TGraph graph("conversion");
  TGstPtr<GstElement> src = MakeElement("filesrc", "Source");
  TGstPtr<GstElement> decode = MakeElement("decodebin");
  TGstPtr<GstElement> encoder =
      options_.Encoder ? CreateMp3Encoder(*options_.Encoder, "MP3") : CreateMp3Encoder("MP3");
  TGstPtr<GstElement> writer = CreateWavDestFilter("WavMux");
  TGstPtr<GstElement> sink = CreateFileSink(target, TFileSinkMode::Bulk, "FileWriter");
  if (!graph || !src || !decode || !encoder || !writer || !sink)
    return Fail(target, "a media component could not be made");
  g_object_set(src.get(), "location", source.c_str(), nullptr);
  if (!graph.AddAndLink({&src, &decode}) || !graph.AddAndLink({&encoder, &writer, &sink}))
    return Fail(target, "the conversion graph could not be built");

  TDecodeLinks links;
  links.Pipeline = graph.Pipeline();
  links.Encoder = encoder.get();
  const gulong padAdded = g_signal_connect(decode.get(), "pad-added", G_CALLBACK(OnPadAdded), &links);
  const gulong noMorePads = g_signal_connect(decode.get(), "no-more-pads", G_CALLBACK(OnNoMorePads), &links);
  auto disconnect = [&] {
    graph.SetNull();  // no streaming thread runs the handlers after this
    g_signal_handler_disconnect(decode.get(), padAdded);
    g_signal_handler_disconnect(decode.get(), noMorePads);
  };

  std::string error;
  if (!graph.Run(options_.StallTimeout, &error)) {
    disconnect();
    return Fail(target, error.empty() ? "the conversion would not start" : error);
  }
  TStallWatch watch;
  watch.Writer = writer.get();
  watch.Limit = options_.StallTimeout;
  const TGraphEnd end = graph.WaitForEnd(options_.MaxDuration, &cancel, &error, StillMoving, &watch);
  guint dataBytes = 0, headerBytes = 0;
  g_object_get(writer.get(), "data-bytes", &dataBytes, "header-bytes", &headerBytes, nullptr);
  disconnect();  // closes the file

  switch (end) {
    case TGraphEnd::Eos:
      break;
    case TGraphEnd::Cancelled:
      return Fail(target, "cancelled");
    case TGraphEnd::Error:
      return Fail(target, error);
    case TGraphEnd::Timeout:
      return Fail(target, watch.Stalled ? "the conversion stalled" : "the conversion took too long");
  }
  const auto size = std::filesystem::file_size(target, ec);
  if (ec || dataBytes == 0 || headerBytes == 0 || size != std::uintmax_t{dataBytes} + headerBytes)
    return Fail(target, "the converted file is incomplete");
  return true;
}

}  // namespace wavecrate
