// The scoreboard stream of a Colorado Time Systems console (its legacy protocol), byte by byte:
// what each of the board's 32 channels holds, and when a channel's update is complete.
//
// The stream has no framing beyond one rule: a byte with bit 7 set is a control byte and opens a
// frame; the data bytes below 0x80 that follow belong to it, up to the next control byte.
//   control byte  channel = ((b >> 1) & 0x1F) ^ 0x1F; bit 0 set: format frame, clear: digits;
//                 bit 6: the "running" flag
//   data byte     cell = b >> 4 (0..7, cell 0 leftmost), value = (b & 0x0F) ^ 0x0F
//                 (0-9 a digit, 15 blank; 10-14 never seen in practice)
//
// The decoder keeps a fixed amount of state, whatever it is fed:
//   - a frame counts once the next control byte has ended it (a frame holds at most 8 data
//     bytes, so the 8th also ends it at the end of the stream); data bytes before the first
//     control byte belong to a frame whose start was missed and are skipped;
//   - a cell not sent keeps its value; a cell the stream never sent is CTS_UNSENT;
//   - a channel's content is unknown until its first complete digit frame: nothing is reported
//     for it before (format frames before it are kept and show with it);
//   - a frame of channel A cut in two by a channel-0 frame (A, 0, A again, with the rest of A's
//     cells) is one update, reported when its second part ends;
//   - a frame (or either part of a cut one) with more than 8 data bytes, or one cell twice, has
//     lost a control byte: it is reported as damaged and changes nothing, so the damage costs
//     only the frames it touches;
//   - a frame without data bytes carries nothing and changes nothing;
//   - at a gap (the caller's word that bytes were lost or that the bytes after do not follow the
//     bytes before on the wire: a damaged record, an outage of the port, two files that are not
//     one capture) the frame being read, and a frame that a channel-0 frame cut, are dropped and
//     reported as damaged; reading starts again as at the start of a stream. Every channel keeps
//     the state it last showed, but what it shows next is reported only once every cell it
//     holds (digits and format) has been sent again since the gap: a frame that sends only some
//     cells (the rest of a frame cut before the gap, say) would otherwise lay them over cells the
//     lost bytes may have changed, a state the stream never had.
// A change is reported only when the channel differs from what it last showed (its cells, its
// format or a running flag), or has just become known. Every state reported is thus one the
// stream really had (a cell not sent since reading began or since a gap is unknown, not a claim):
// the fuzz target checks this against the same stream with bytes dropped.
//
// Pure functions over bytes: no I/O, no allocation after construction.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "text/bytes.h"

namespace kelp {

inline constexpr std::size_t CTS_CHANNELS = 32;
inline constexpr std::size_t CTS_CELLS = 8;
inline constexpr std::uint8_t CTS_BLANK = 15;
inline constexpr std::uint8_t CTS_UNSENT = 0xFF;  // no byte for this cell since reading began

using CtsCells = std::array<std::uint8_t, CTS_CELLS>;  // values 0-15, or CTS_UNSENT

struct CtsChannel {
  CtsCells digits = filled_unsent();
  CtsCells format = filled_unsent();
  bool known = false;           // its first complete digit frame has arrived
  bool running = false;         // bit 6 of its last digit frame's control byte
  bool format_running = false;  // bit 6 of its last format frame's control byte

  static constexpr CtsCells filled_unsent() {
    CtsCells cells{};
    cells.fill(CTS_UNSENT);
    return cells;
  }
  bool operator==(const CtsChannel&) const = default;
};

enum class CtsFrameKind : std::uint8_t { Digits, Format };

struct CtsControl {
  std::uint8_t channel = 0;
  CtsFrameKind kind = CtsFrameKind::Digits;
  bool running = false;
};

constexpr bool is_cts_control(std::uint8_t b) { return (b & 0x80) != 0; }
constexpr CtsControl cts_control(std::uint8_t b) {
  return {static_cast<std::uint8_t>(((b >> 1) & 0x1F) ^ 0x1F),
          (b & 1) ? CtsFrameKind::Format : CtsFrameKind::Digits, (b & 0x40) != 0};
}
constexpr std::uint8_t cts_cell(std::uint8_t b) { return static_cast<std::uint8_t>(b >> 4); }
constexpr std::uint8_t cts_value(std::uint8_t b) {
  return static_cast<std::uint8_t>((b & 0x0F) ^ 0x0F);
}

enum class CtsDamage : std::uint8_t {
  None,
  TooManyBytes,  // more than 8 data bytes: a control byte was lost
  RepeatedCell,  // one cell sent twice: a control byte was lost
  Gap,           // cut off by a gap before it had ended
};

// What the decoder reports: a channel changed, or a damaged frame was skipped.
struct CtsEvent {
  bool damaged = false;
  CtsDamage damage = CtsDamage::None;  // why it was skipped
  std::uint8_t channel = 0;
  CtsFrameKind kind = CtsFrameKind::Digits;  // the frame that completed the change
  std::uint64_t offset = 0;    // in the stream, of the control byte that opened that frame
  std::uint64_t tag = 0;       // the caller's tag of the bytes that held that control byte
  std::size_t data_bytes = 0;  // a damaged frame's data bytes (9 stands for "more than 8")
  CtsChannel before;           // what the channel showed before the change
  CtsChannel state;            // and after it (what it still shows, for a damaged frame)
};

using CtsSink = std::function<void(const CtsEvent&)>;

// One frame being read.
struct CtsFrame {
  std::uint8_t control = 0;
  std::uint64_t offset = 0;
  std::uint64_t tag = 0;
  CtsCells cells = CtsChannel::filled_unsent();
  std::uint8_t count = 0;  // data bytes of this part so far, counting stops at 9
  std::uint8_t sent = 0;   // the cells this part sent, one bit each
  bool repeated_cell = false;
};

struct CtsDecoder {
  std::array<CtsChannel, CTS_CHANNELS> channels{};  // every frame read applied
  std::array<CtsChannel, CTS_CHANNELS> shown{};     // as last reported
  // Since the last gap, the cells of each channel not yet sent again (one bit per cell).
  std::array<std::uint8_t, CTS_CHANNELS> stale_digits{};
  std::array<std::uint8_t, CTS_CHANNELS> stale_format{};
  bool in_frame = false;  // a control byte has been seen since the start or the last gap
  CtsFrame frame;         // the frame being read
  bool holding = false;   // `held` was cut by the channel-0 frame now being read
  CtsFrame held;
  std::uint64_t offset = 0;         // bytes fed so far
  std::uint64_t skipped_bytes = 0;  // data bytes outside any frame (before a first control byte)
  // How much of the input had the stream's layout: the bytes of frames (or parts of cut frames)
  // of 1 to 8 data bytes, each cell once (`skipped_bytes` are neither).
  std::uint64_t layout_bytes = 0;
  std::uint64_t damaged_frames = 0;  // reported as damaged, those dropped at gaps included
};

// Feeds the next bytes of the stream. `tag` is handed back with every event whose frame opened in
// these bytes (a record number, a time: whatever the caller needs to place the event).
void cts_feed(CtsDecoder& decoder, ByteView bytes, std::uint64_t tag, const CtsSink& sink);

// The bytes fed next do not follow those fed so far: see the rules above.
void cts_gap(CtsDecoder& decoder, const CtsSink& sink);

// The stream has ended: a last frame that holds 8 data bytes is complete; one that holds fewer
// may have been cut by the end and is not reported, nor is a frame that a channel-0 frame cut.
void cts_finish(CtsDecoder& decoder, const CtsSink& sink);

}  // namespace kelp
