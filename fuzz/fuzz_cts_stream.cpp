// The CTS scoreboard decoder on any bytes: no crash, a fixed state whatever it reads, and the
// same changes however the stream is cut into reads (nothing lost and nothing made up at a read's
// edge). Each change names the control byte that opened its frame, in the read that held it.
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "decode/cts_board.h"
#include "decode/cts_stream.h"
#include "fuzz_check.h"

namespace {

// A decoder that owns no memory beyond its own fixed size.
static_assert(std::is_trivially_copyable_v<kelp::CtsDecoder>);

struct Seen {
  kelp::CtsEvent event;
  bool operator==(const Seen& other) const {
    const kelp::CtsEvent &a = event, &b = other.event;
    return a.damaged == b.damaged && a.channel == b.channel && a.kind == b.kind &&
           a.offset == b.offset && a.data_bytes == b.data_bytes && a.before == b.before &&
           a.state == b.state;
  }
};

std::vector<Seen> decode(kelp::ByteView bytes, const std::vector<std::size_t>& cuts,
                         std::vector<std::uint64_t>& tags) {
  std::vector<Seen> seen;
  kelp::CtsDecoder decoder;
  const kelp::CtsSink sink = [&](const kelp::CtsEvent& event) {
    seen.push_back({event});
    tags.push_back(event.tag);
  };
  std::size_t start = 0;
  std::uint64_t piece = 0;
  for (const std::size_t cut : cuts) {
    kelp::cts_feed(decoder, bytes.subspan(start, cut - start), piece++, sink);
    start = cut;
  }
  kelp::cts_feed(decoder, bytes.subspan(start), piece, sink);
  kelp::cts_finish(decoder, sink);
  KELP_CHECK(decoder.offset == bytes.size());
  return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the reads' lengths; the rest is the stream.
  const unsigned step = data[0] % 13 + 1;
  const kelp::ByteView bytes(data + 1, size - 1);

  std::vector<std::size_t> cuts;
  for (std::size_t at = step; at < bytes.size(); at += step + at % 3) cuts.push_back(at);
  std::vector<std::uint64_t> whole_tags, cut_tags;
  const std::vector<Seen> whole = decode(bytes, {}, whole_tags);
  const std::vector<Seen> pieces = decode(bytes, cuts, cut_tags);
  KELP_CHECK(whole == pieces);

  std::uint64_t last = 0;
  bool first = true;
  for (std::size_t i = 0; i < whole.size(); ++i) {
    const kelp::CtsEvent& e = whole[i].event;
    // In stream order, each opened by the control byte it names.
    KELP_CHECK(first || e.offset > last);
    first = false;
    last = e.offset;
    KELP_CHECK(e.offset < bytes.size());
    const std::uint8_t control = bytes[e.offset];
    KELP_CHECK(kelp::is_cts_control(control));
    KELP_CHECK(kelp::cts_control(control).channel == e.channel);
    KELP_CHECK(kelp::cts_control(control).kind == e.kind);
    KELP_CHECK(e.channel < kelp::CTS_CHANNELS);
    // The read that held it: the tag of the piece whose bytes include the offset.
    std::size_t piece = 0;
    while (piece < cuts.size() && cuts[piece] <= e.offset) ++piece;
    KELP_CHECK(cut_tags[i] == piece);
    KELP_CHECK(whole_tags[i] == 0);
    if (e.damaged) {
      KELP_CHECK(e.data_bytes <= kelp::CTS_CELLS + 1);  // counting stops past 8
      KELP_CHECK(e.before == e.state);
      continue;
    }
    // A change, of a channel whose content is known; a running flag that matches its frame.
    KELP_CHECK(e.state.known);
    KELP_CHECK(!(e.before == e.state));
    if (e.kind == kelp::CtsFrameKind::Digits) {
      KELP_CHECK(e.state.running == kelp::cts_control(control).running);
    } else {
      KELP_CHECK(e.state.format_running == kelp::cts_control(control).running);
    }
    for (std::size_t cell = 0; cell < kelp::CTS_CELLS; ++cell) {
      KELP_CHECK(e.state.digits[cell] <= kelp::CTS_BLANK ||
                 e.state.digits[cell] == kelp::CTS_UNSENT);
    }
    const std::string text = kelp::cts_text(e.state.digits);
    KELP_CHECK(text.size() == kelp::CTS_CELLS);
  }
  return 0;
}
