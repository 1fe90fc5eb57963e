#include "decode/cts_stream.h"

namespace kelp {
namespace {

constexpr std::uint8_t TOO_MANY = CTS_CELLS + 1;

bool damaged(const CtsFrame& frame) { return frame.count > CTS_CELLS || frame.repeated_cell; }

void apply(CtsDecoder& decoder, const CtsFrame& frame, const CtsSink& sink) {
  const CtsControl control = cts_control(frame.control);
  CtsEvent event;
  event.channel = control.channel;
  event.kind = control.kind;
  event.offset = frame.offset;
  event.tag = frame.tag;
  CtsChannel& channel = decoder.channels[control.channel];
  if (damaged(frame)) {
    event.damaged = true;
    event.data_bytes = frame.count;
    event.before = channel;
    event.state = channel;
    sink(event);
    return;
  }
  if (frame.count == 0) return;

  const CtsChannel before = channel;
  CtsCells& cells = control.kind == CtsFrameKind::Digits ? channel.digits : channel.format;
  for (std::size_t i = 0; i < CTS_CELLS; ++i) {
    if (frame.cells[i] != CTS_UNSENT) cells[i] = frame.cells[i];
  }
  if (control.kind == CtsFrameKind::Digits) {
    channel.running = control.running;
    channel.known = true;
  } else {
    channel.format_running = control.running;
  }
  if (channel.known && channel != before) {
    event.before = before;
    event.state = channel;
    sink(event);
  }
}

// Whether a frame that a channel-0 control byte ends may be the first part of a cut frame.
bool may_be_cut(const CtsFrame& frame) {
  return cts_control(frame.control).channel != 0 && frame.count < CTS_CELLS;
}

}  // namespace

void cts_feed(CtsDecoder& decoder, ByteView bytes, std::uint64_t tag, const CtsSink& sink) {
  for (const std::uint8_t b : bytes) {
    const std::uint64_t at = decoder.offset++;
    if (!is_cts_control(b)) {
      if (!decoder.in_frame) {
        ++decoder.skipped_bytes;
        continue;
      }
      CtsFrame& frame = decoder.frame;
      if (frame.count < TOO_MANY) ++frame.count;
      const std::uint8_t cell = cts_cell(b);
      const auto bit = static_cast<std::uint8_t>(1u << cell);
      if (frame.sent & bit) frame.repeated_cell = true;
      frame.sent |= bit;
      frame.cells[cell] = cts_value(b);
      continue;
    }

    const CtsFrame next{b, at, tag, CtsChannel::filled_unsent(), 0, 0, false};
    if (!decoder.in_frame) {
      decoder.in_frame = true;
      decoder.frame = next;
      continue;
    }
    if (decoder.holding) {
      // The channel-0 frame that cut `held` has ended. When the cut frame's control byte comes
      // again, the rest of its cells follow: one update, reported when that second part ends.
      decoder.holding = false;
      if (b == decoder.held.control) {
        apply(decoder, decoder.frame, sink);
        // The second part is a frame on the line of its own: its data bytes are counted anew.
        CtsFrame resumed = decoder.held;
        resumed.offset = at;
        resumed.tag = tag;
        resumed.count = 0;
        resumed.sent = 0;
        decoder.frame = resumed;
        continue;
      }
      apply(decoder, decoder.held, sink);
    }
    if (cts_control(b).channel == 0 && may_be_cut(decoder.frame)) {
      decoder.holding = true;
      decoder.held = decoder.frame;
    } else {
      apply(decoder, decoder.frame, sink);
    }
    decoder.frame = next;
  }
}

void cts_finish(CtsDecoder& decoder, const CtsSink& sink) {
  if (!decoder.in_frame) return;
  // A held frame may have gone on after the channel-0 frame: its end is not known.
  if (!decoder.holding && decoder.frame.count >= CTS_CELLS) apply(decoder, decoder.frame, sink);
  decoder.holding = false;
  decoder.in_frame = false;
}

}  // namespace kelp
