#include "decode/cts_stream.h"

namespace kelp {
namespace {

constexpr std::uint8_t TOO_MANY = CTS_CELLS + 1;

CtsDamage damage_of(const CtsFrame& frame) {
  if (frame.count > CTS_CELLS) return CtsDamage::TooManyBytes;
  if (frame.repeated_cell) return CtsDamage::RepeatedCell;
  return CtsDamage::None;
}

// The cells that hold a value, one bit each.
std::uint8_t cells_set(const CtsCells& cells) {
  std::uint8_t set = 0;
  for (std::size_t i = 0; i < CTS_CELLS; ++i) {
    if (cells[i] != CTS_UNSENT) set = static_cast<std::uint8_t>(set | (1u << i));
  }
  return set;
}

CtsEvent event_of(const CtsFrame& frame) {
  const CtsControl control = cts_control(frame.control);
  CtsEvent event;
  event.channel = control.channel;
  event.kind = control.kind;
  event.offset = frame.offset;
  event.tag = frame.tag;
  return event;
}

void report_damage(CtsDecoder& decoder, const CtsFrame& frame, CtsDamage why, const CtsSink& sink) {
  CtsEvent event = event_of(frame);
  event.damaged = true;
  event.damage = why;
  event.data_bytes = frame.count;
  event.before = decoder.shown[event.channel];
  event.state = event.before;
  ++decoder.damaged_frames;
  sink(event);
}

void apply(CtsDecoder& decoder, const CtsFrame& frame, const CtsSink& sink) {
  if (const CtsDamage why = damage_of(frame); why != CtsDamage::None) {
    report_damage(decoder, frame, why, sink);
    return;
  }
  // The second part of a cut frame may bring no cell of its own: the first part's still count.
  const std::uint8_t sent = cells_set(frame.cells);
  if (sent == 0) return;

  const CtsControl control = cts_control(frame.control);
  const std::uint8_t ch = control.channel;
  CtsChannel& channel = decoder.channels[ch];
  const bool digits = control.kind == CtsFrameKind::Digits;
  CtsCells& cells = digits ? channel.digits : channel.format;
  for (std::size_t i = 0; i < CTS_CELLS; ++i) {
    if (frame.cells[i] != CTS_UNSENT) cells[i] = frame.cells[i];
  }
  std::uint8_t& stale = digits ? decoder.stale_digits[ch] : decoder.stale_format[ch];
  stale = static_cast<std::uint8_t>(stale & ~sent);
  if (digits) {
    channel.running = control.running;
    channel.known = true;
  } else {
    channel.format_running = control.running;
  }
  if (!channel.known || decoder.stale_digits[ch] != 0 || decoder.stale_format[ch] != 0) return;
  if (channel == decoder.shown[ch]) return;
  CtsEvent event = event_of(frame);
  event.before = decoder.shown[ch];
  event.state = channel;
  decoder.shown[ch] = channel;
  sink(event);
}

// Whether a frame that a channel-0 control byte ends may be the first part of a cut frame.
bool may_be_cut(const CtsFrame& frame) {
  return cts_control(frame.control).channel != 0 && frame.count < CTS_CELLS;
}

// A frame (or part) that has ended, or that a gap or the end cut off: did it have the stream's
// layout?
void count_layout(CtsDecoder& decoder, const CtsFrame& part) {
  if (part.count > 0 && part.count <= CTS_CELLS && !part.repeated_cell) {
    decoder.layout_bytes += part.count + 1u;
  }
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
    count_layout(decoder, decoder.frame);
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

void cts_gap(CtsDecoder& decoder, const CtsSink& sink) {
  if (decoder.holding) report_damage(decoder, decoder.held, CtsDamage::Gap, sink);
  // A frame that has brought no cell yet loses nothing.
  if (decoder.in_frame && cells_set(decoder.frame.cells) != 0) {
    report_damage(decoder, decoder.frame, CtsDamage::Gap, sink);
  }
  if (decoder.in_frame) count_layout(decoder, decoder.frame);
  decoder.in_frame = false;
  decoder.holding = false;
  for (std::size_t ch = 0; ch < CTS_CHANNELS; ++ch) {
    decoder.stale_digits[ch] = cells_set(decoder.channels[ch].digits);
    decoder.stale_format[ch] = cells_set(decoder.channels[ch].format);
  }
}

void cts_finish(CtsDecoder& decoder, const CtsSink& sink) {
  if (!decoder.in_frame) return;
  // A held frame may have gone on after the channel-0 frame: its end is not known, and it is not
  // reported. The frame being read is whole once it holds 8 data bytes, whatever it cut.
  count_layout(decoder, decoder.frame);
  if (decoder.frame.count >= CTS_CELLS) apply(decoder, decoder.frame, sink);
  decoder.holding = false;
  decoder.in_frame = false;
}

}  // namespace kelp
