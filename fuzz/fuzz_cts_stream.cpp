// The CTS scoreboard decoder on any bytes: no crash, a fixed state whatever it reads, and the
// same changes however the stream is cut into reads (nothing lost and nothing made up at a read's
// edge). Each change names the control byte that opened its frame, in the read that held it.
//
// And the same stream with damage: reads dropped (a record the log reader skipped), bytes dropped
// (an outage), gaps where nothing was lost, the decoder told of each gap. Then no state shown is
// one the bytes never showed: every change agrees with a state the intact decoding reported for
// that channel (a cell never sent since reading began, or since the gap, says nothing), or is one
// that a decoding begun afresh at the last gap reports (after a gap reading starts again as at
// the start of a stream, so a frame whose first part was lost is read as the frame it then is);
// and a channel shown again after the last gap ends as the intact stream or that fresh decoding
// ends it.
#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "decode/cts_board.h"
#include "decode/cts_stream.h"
#include "fuzz_check.h"

namespace {

// A decoder that owns no memory beyond its own fixed size.
static_assert(std::is_trivially_copyable_v<kelp::CtsDecoder>);

// Damage is tried on inputs up to this size: comparing states is quadratic in the worst case.
constexpr std::size_t DAMAGE_LIMIT = 8192;

struct Seen {
  kelp::CtsEvent event;
  bool operator==(const Seen& other) const {
    const kelp::CtsEvent &a = event, &b = other.event;
    return a.damaged == b.damaged && a.damage == b.damage && a.channel == b.channel &&
           a.kind == b.kind && a.offset == b.offset && a.data_bytes == b.data_bytes &&
           a.before == b.before && a.state == b.state;
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
  KELP_CHECK(decoder.layout_bytes + decoder.skipped_bytes <= decoder.offset);
  return seen;
}

void check_intact(kelp::ByteView bytes, const std::vector<std::size_t>& cuts,
                  const std::vector<Seen>& whole, const std::vector<std::uint64_t>& whole_tags,
                  const std::vector<std::uint64_t>& cut_tags) {
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
      KELP_CHECK(e.damage == kelp::CtsDamage::TooManyBytes ||
                 e.damage == kelp::CtsDamage::RepeatedCell);
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
}

// Whether what a channel shows says nothing against `had`: a cell not sent since the reading
// (re)started is unknown, and so is the format's running flag while no format cell is known.
bool agrees(const kelp::CtsChannel& shown, const kelp::CtsChannel& had) {
  bool any_format = false;
  for (std::size_t i = 0; i < kelp::CTS_CELLS; ++i) {
    if (shown.digits[i] != kelp::CTS_UNSENT && shown.digits[i] != had.digits[i]) return false;
    if (shown.format[i] != kelp::CTS_UNSENT && shown.format[i] != had.format[i]) return false;
    any_format = any_format || shown.format[i] != kelp::CTS_UNSENT;
  }
  return shown.known == had.known && shown.running == had.running &&
         (!any_format || shown.format_running == had.format_running);
}

std::string key_of(const kelp::CtsChannel& c) {
  std::string key(c.digits.begin(), c.digits.end());
  key.append(c.format.begin(), c.format.end());
  key += static_cast<char>(c.known * 4 + c.running * 2 + c.format_running);
  return key;
}

// A small generator of choices out of the input's first bytes.
struct Choices {
  std::uint32_t state;
  unsigned next(unsigned n) {
    state = state * 1103515245u + 12345u;
    return (state >> 16) % n;
  }
};

// The stream with pieces dropped and gaps told, as a log with damage reads; each piece is one
// read of the intact decoding. Checks the property in the header.
void check_damaged(kelp::ByteView bytes, const std::vector<std::size_t>& cuts,
                   const std::vector<Seen>& intact, Choices choices) {
  // What the intact stream showed, per channel.
  std::array<std::vector<kelp::CtsChannel>, kelp::CTS_CHANNELS> had;
  std::array<std::set<std::string>, kelp::CTS_CHANNELS> had_keys;
  std::array<std::optional<kelp::CtsChannel>, kelp::CTS_CHANNELS> last_had;
  for (const Seen& s : intact) {
    if (s.event.damaged) continue;
    had[s.event.channel].push_back(s.event.state);
    had_keys[s.event.channel].insert(key_of(s.event.state));
    last_had[s.event.channel] = s.event.state;
  }

  std::vector<std::size_t> bounds{0};
  bounds.insert(bounds.end(), cuts.begin(), cuts.end());
  bounds.push_back(bytes.size());

  kelp::CtsDecoder decoder;
  std::vector<kelp::CtsEvent> seen;
  const kelp::CtsSink sink = [&](const kelp::CtsEvent& event) { seen.push_back(event); };
  // The decoding begun afresh at the last gap, and what it reported; `since` holds, for each of
  // `seen`, the gap it came after (0: none).
  kelp::CtsDecoder fresh;
  std::size_t gaps = 0;
  std::vector<std::size_t> since;
  using Keys = std::array<std::set<std::string>, kelp::CTS_CHANNELS>;
  std::vector<Keys> fresh_keys(1);  // by gap
  std::array<std::optional<kelp::CtsChannel>, kelp::CTS_CHANNELS> fresh_last;
  const kelp::CtsSink fresh_sink = [&](const kelp::CtsEvent& event) {
    if (event.damaged) return;
    fresh_keys.back()[event.channel].insert(key_of(event.state));
    fresh_last[event.channel] = event.state;
  };
  const auto feed = [&](kelp::ByteView piece, std::uint64_t tag) {
    kelp::cts_feed(decoder, piece, tag, sink);
    since.resize(seen.size(), gaps);
    if (gaps > 0) kelp::cts_feed(fresh, piece, tag, fresh_sink);
  };
  const auto gap = [&] {
    kelp::cts_gap(decoder, sink);
    since.resize(seen.size(), gaps);
    ++gaps;
    fresh = kelp::CtsDecoder{};
    fresh_keys.emplace_back();
    fresh_last.fill(std::nullopt);
  };
  bool dropped_before = false;
  for (std::size_t p = 0; p + 1 < bounds.size(); ++p) {
    const unsigned choice = choices.next(8);
    if (choice == 0) {  // the piece is lost
      dropped_before = true;
      continue;
    }
    // A gap where nothing was lost counts the same.
    if (dropped_before || choice == 2) gap();
    dropped_before = false;
    kelp::ByteView piece = bytes.subspan(bounds[p], bounds[p + 1] - bounds[p]);
    if (choice == 1 && piece.size() > 1) {  // bytes lost inside it: two pieces with a gap
      const std::size_t from = choices.next(static_cast<unsigned>(piece.size()));
      const std::size_t count = 1 + choices.next(static_cast<unsigned>(piece.size() - from));
      feed(piece.subspan(0, from), p);
      gap();
      piece = piece.subspan(from + count);
    }
    feed(piece, p);
  }
  // Bytes lost at the end are a gap too (a log's last record skipped as damaged).
  if (dropped_before) gap();
  kelp::cts_finish(decoder, sink);
  since.resize(seen.size(), gaps);
  if (gaps > 0) kelp::cts_finish(fresh, fresh_sink);

  std::array<kelp::CtsChannel, kelp::CTS_CHANNELS> shown{};
  std::array<bool, kelp::CTS_CHANNELS> shown_since_gap{};
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const kelp::CtsEvent& e = seen[i];
    KELP_CHECK(e.channel < kelp::CTS_CHANNELS);
    // `before` is what the channel showed last; a damaged frame changes nothing.
    KELP_CHECK(e.before == shown[e.channel]);
    if (e.damaged) {
      KELP_CHECK(e.state == e.before);
      continue;
    }
    KELP_CHECK(!(e.state == e.before));
    shown[e.channel] = e.state;
    if (gaps > 0 && since[i] == gaps) shown_since_gap[e.channel] = true;
    // Nothing the bytes never had.
    if (fresh_keys[since[i]][e.channel].count(key_of(e.state)) != 0) continue;
    if (had_keys[e.channel].count(key_of(e.state)) == 0) {
      bool found = false;
      for (const kelp::CtsChannel& h : had[e.channel]) {
        if (agrees(e.state, h)) {
          found = true;
          break;
        }
      }
      KELP_CHECK(found);
    }
  }
  // Nothing lost: a channel shown again after the last gap ends as in the intact stream.
  for (std::size_t ch = 0; ch < kelp::CTS_CHANNELS; ++ch) {
    if (!shown_since_gap[ch]) continue;
    if (fresh_last[ch] && shown[ch] == *fresh_last[ch]) continue;
    KELP_CHECK(last_had[ch].has_value());
    KELP_CHECK(agrees(shown[ch], *last_had[ch]));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  // The first byte picks the reads' lengths, the next two the damage; the rest is the stream.
  const unsigned step = data[0] % 13 + 1;
  const Choices choices{static_cast<std::uint32_t>(data[1] << 8 | data[2])};
  const kelp::ByteView bytes(data + 3, size - 3);

  std::vector<std::size_t> cuts;
  for (std::size_t at = step; at < bytes.size(); at += step + at % 3) cuts.push_back(at);
  std::vector<std::uint64_t> whole_tags, cut_tags;
  const std::vector<Seen> whole = decode(bytes, {}, whole_tags);
  const std::vector<Seen> pieces = decode(bytes, cuts, cut_tags);
  KELP_CHECK(whole == pieces);
  check_intact(bytes, cuts, whole, whole_tags, cut_tags);
  if (bytes.size() <= DAMAGE_LIMIT) check_damaged(bytes, cuts, whole, choices);
  return 0;
}
