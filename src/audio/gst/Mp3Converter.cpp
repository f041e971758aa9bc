#include "audio/gst/Mp3Converter.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "audio/gst/GraphServices.h"
#include "audio/gst/GstHandles.h"
#include "audio/gst/ReadAheadFileSrc.h"
#include "audio/gst/WavDestFilter.h"

namespace wavecrate {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Shared with the demuxing side's signal handlers, which run on streaming
// threads; lives on the converting thread's stack until the pipeline is NULL.
struct TDecodeLinks {
  GstElement* Pipeline = nullptr;
  GstElement* Parser = nullptr;
  GstElement* Encoder = nullptr;
  std::mutex Mutex;
  bool AudioLinked = false;  // the first audio stream has its way to the encoder
  bool NoAudioPosted = false;
  // Decoders added for a compressed audio stream, with their pad-added
  // handler, so the handler can be taken off before `links` goes away.
  std::vector<std::pair<GstElement*, gulong>> Decoders;
};

GstCaps* PadCaps(GstPad* pad) {
  GstCaps* caps = gst_pad_get_current_caps(pad);
  return caps ? caps : gst_pad_query_caps(pad, nullptr);
}

bool CapsStartWith(GstPad* pad, const char* prefix) {
  TGstPtr<GstCaps> caps = AdoptGst(PadCaps(pad));
  if (!caps || gst_caps_is_empty(caps.get()) || gst_caps_is_any(caps.get())) return false;
  return g_str_has_prefix(gst_structure_get_name(gst_caps_get_structure(caps.get(), 0)), prefix);
}

void PostNoAudio(GstElement* parser) {
  GError* error =
      g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_WRONG_TYPE, "The source holds no audio");
  gst_element_post_message(parser,
                           gst_message_new_error(GST_OBJECT(parser), error, "no audio stream was found"));
  g_error_free(error);
}

// First data (or end) on a discarded stream, streaming thread. parsebin adds
// all pads of a group before it lets any of them flow, and it has no
// "no-more-pads": so data on a discarded stream while no audio stream has
// been linked means the source holds none.
GstPadProbeReturn OnDiscardedData(GstPad*, GstPadProbeInfo* info, gpointer data) {
  if ((GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) &&
      GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) != GST_EVENT_EOS)
    return GST_PAD_PROBE_OK;
  auto* links = static_cast<TDecodeLinks*>(data);
  std::lock_guard<std::mutex> lock(links->Mutex);
  if (!links->AudioLinked && !links->NoAudioPosted) {
    links->NoAudioPosted = true;
    PostNoAudio(links->Parser);
  }
  return GST_PAD_PROBE_REMOVE;
}

// A stream nobody wants goes into a fakesink, so it cannot stall the
// pipeline with not-linked. Streaming thread, under links->Mutex.
void Discard(TDecodeLinks* links, GstPad* pad) {
  GstElement* discard = gst_element_factory_make("fakesink", nullptr);
  if (!discard) return;
  g_object_set(discard, "sync", FALSE, "async", FALSE, nullptr);
  gst_bin_add(GST_BIN(links->Pipeline), discard);  // the bin owns it now
  gst_element_sync_state_with_parent(discard);
  TGstPtr<GstPad> sink = AdoptGst(gst_element_get_static_pad(discard, "sink"));
  if (!links->AudioLinked)
    gst_pad_add_probe(
        sink.get(),
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST |
                                     GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        OnDiscardedData, links, nullptr);
  gst_pad_link(pad, sink.get());
}

bool LinkToEncoder(TDecodeLinks* links, GstPad* pad) {
  TGstPtr<GstPad> sink = AdoptGst(gst_element_get_static_pad(links->Encoder, "sink"));
  if (gst_pad_link(pad, sink.get()) == GST_PAD_LINK_OK) return true;
  std::fprintf(stderr, "mp3: could not link the decoded audio to the encoder\n");
  return false;
}

// A decoder's "pad-added" (streaming thread): its raw audio goes to the
// encoder.
void OnDecodedPad(GstElement*, GstPad* pad, gpointer data) {
  auto* links = static_cast<TDecodeLinks*>(data);
  std::lock_guard<std::mutex> lock(links->Mutex);
  if (!CapsStartWith(pad, "audio/x-raw") || !LinkToEncoder(links, pad)) Discard(links, pad);
}

// parsebin's "pad-added" (streaming thread). parsebin demuxes and parses in
// the reading thread itself; decodebin would put a multiqueue (a second
// thread and a hand-over per buffer) behind every demuxer, which cost more
// CPU than everything but the encoder. Raw audio, as the mixed AVI holds,
// goes straight to the encoder; compressed audio gets a decoder of its own
// (a decodebin with nothing to demux, so no queue either); the first audio
// stream wins and every other stream is discarded.
void OnParsedPad(GstElement*, GstPad* pad, gpointer data) {
  auto* links = static_cast<TDecodeLinks*>(data);
  std::lock_guard<std::mutex> lock(links->Mutex);
  if (links->AudioLinked || !CapsStartWith(pad, "audio/")) {
    Discard(links, pad);
    return;
  }
  if (CapsStartWith(pad, "audio/x-raw")) {
    links->AudioLinked = LinkToEncoder(links, pad);
    if (!links->AudioLinked) Discard(links, pad);
    return;
  }
  GstElement* decoder = gst_element_factory_make("decodebin", nullptr);
  if (!decoder) {
    std::fprintf(stderr, "mp3: no decodebin to decode the audio\n");
    Discard(links, pad);
    return;
  }
  const gulong id = g_signal_connect(decoder, "pad-added", G_CALLBACK(OnDecodedPad), links);
  links->Decoders.emplace_back(decoder, id);
  gst_bin_add(GST_BIN(links->Pipeline), decoder);  // the bin owns it now
  // Running before it is linked: data pushed into a stopped element would be
  // refused as flushing and the stream would end silently.
  gst_element_sync_state_with_parent(decoder);
  TGstPtr<GstPad> sink = AdoptGst(gst_element_get_static_pad(decoder, "sink"));
  if (gst_pad_link(pad, sink.get()) != GST_PAD_LINK_OK) {
    std::fprintf(stderr, "mp3: could not link the audio stream to its decoder\n");
    return;
  }
  links->AudioLinked = true;
}

// Stall watchdog, called by TGraph::WaitForEnd every 100 ms on the
// converting thread.
struct TStallWatch {
  GstElement* Writer = nullptr;
  TStallJudge Judge;
};

bool StillMoving(void* context) {
  auto* watch = static_cast<TStallWatch*>(context);
  guint bytes = 0;
  g_object_get(watch->Writer, "data-bytes", &bytes, nullptr);
  return watch->Judge.StillMoving(bytes);
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
  TGstPtr<GstElement> src = CreateReadAheadFileSrc(source, "Source");
  TGstPtr<GstElement> parse = MakeElement("parsebin");
  TGstPtr<GstElement> encoder =
      options_.Encoder ? CreateMp3Encoder(*options_.Encoder, "MP3") : CreateMp3Encoder("MP3");
  TGstPtr<GstElement> writer = CreateWavDestFilter("WavMux");
  TGstPtr<GstElement> sink = CreateFileSink(target, TFileSinkMode::Bulk, "FileWriter");
  if (!graph || !src || !parse || !encoder || !writer || !sink)
    return Fail(target, "a media component could not be made");
  if (!graph.AddAndLink({&src, &parse}) || !graph.AddAndLink({&encoder, &writer, &sink}))
    return Fail(target, "the conversion graph could not be built");

  TDecodeLinks links;
  links.Pipeline = graph.Pipeline();
  links.Parser = parse.get();
  links.Encoder = encoder.get();
  const gulong padAdded = g_signal_connect(parse.get(), "pad-added", G_CALLBACK(OnParsedPad), &links);
  auto disconnect = [&] {
    graph.SetNull();  // no streaming thread runs the handlers after this
    g_signal_handler_disconnect(parse.get(), padAdded);
    for (const auto& [decoder, id] : links.Decoders) g_signal_handler_disconnect(decoder, id);
  };

  std::string error;
  if (!graph.Run(options_.StallTimeout, &error)) {
    disconnect();
    return Fail(target, error.empty() ? "the conversion would not start" : error);
  }
  TStallWatch watch;
  watch.Writer = writer.get();
  watch.Judge.Limit = options_.StallTimeout;
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
      return Fail(target, watch.Judge.Stalled ? "the conversion stalled" : "the conversion took too long");
  }
  const auto size = std::filesystem::file_size(target, ec);
  if (ec || dataBytes == 0 || headerBytes == 0 || size != std::uintmax_t{dataBytes} + headerBytes)
    return Fail(target, "the converted file is incomplete");
  return true;
}

}  // namespace wavecrate
