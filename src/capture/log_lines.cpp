#include "capture/log_lines.h"

#include <algorithm>
#include <functional>
#include <string>

#include "text/byte_text.h"
#include "text/hex.h"

namespace kelp {
namespace {

constexpr std::size_t NPOS = std::string_view::npos;
constexpr unsigned POLL_EVERY = 256;

// Calls `found` with every place where `needle` occurs, until it returns false. The searcher skips
// ahead by up to the needle's length: the needles begin with characters (a space, a line break)
// that a log is full of.
template <typename Found>
void for_each_occurrence(std::string_view content, std::string_view needle, Found found) {
  const std::boyer_moore_horspool_searcher searcher(needle.begin(), needle.end());
  for (auto from = content.begin();;) {
    const auto at = std::search(from, content.end(), searcher);
    if (at == content.end()) return;
    const auto pos = static_cast<std::size_t>(at - content.begin());
    if (!found(pos)) return;
    from = at + 1;
  }
}

}  // namespace

bool StopPoll::now() {
  if (stopped_) return true;
  if (stop_ == nullptr || ++calls_ % POLL_EVERY != 0) return false;
  stopped_ = stop_();
  return stopped_;
}

Occurrences::Occurrences(std::string_view content, std::string_view needle, StopPoll& poll) {
  if (needle.empty()) return;  // nothing to look for
  for_each_occurrence(content, needle, [&](std::size_t at) {
    if (poll.now()) return false;
    at_.push_back(at);
    return true;
  });
}

std::size_t Occurrences::next(std::size_t from) const {
  const auto found = std::lower_bound(at_.begin(), at_.end(), from);
  return found == at_.end() ? NPOS : *found;
}

std::size_t Occurrences::count_within(std::size_t from, std::size_t to) const {
  if (to <= from) return 0;
  return static_cast<std::size_t>(std::lower_bound(at_.begin(), at_.end(), to) -
                                  std::lower_bound(at_.begin(), at_.end(), from));
}

HexLines::HexLines(std::string_view content, std::string_view label, bool crlf, StopPoll& poll)
    : content_(content), label_size_(label.size()) {
  for_each_occurrence(content, label, [&](std::size_t at) {
    if (poll.now()) return false;
    const std::size_t digits = at + label.size();
    const std::size_t end = content.find('\n', digits);
    if (end == NPOS) return false;  // a last line without its line break is no whole hex line
    const std::size_t length = end - digits;
    // n bytes take 3n - 1 characters: no other length can be any record's hex line.
    if (length != 0 && length % 3 != 2) return true;
    const auto bytes = bytes_from_hex_string(content.substr(digits, length));
    const std::size_t index = lines_.size();
    lines_.push_back(HexLine{at, end, length == 0 ? 0 : (length + 1) / 3, bytes.has_value()});
    by_count_[lines_.back().count].push_back(index);
    if (!bytes) return true;
    std::string text = decode_text(*bytes);
    text += '\n';
    index_text(text, index);
    if (crlf && text.find("\r\n") != std::string::npos) index_text(without_crlf(text), index);
    return true;
  });
}

void HexLines::index_text(const std::string& text, std::size_t line) {
  const std::size_t text_end = lines_[line].at + 1;
  if (text.size() > text_end) return;
  const std::size_t start = text_end - text.size();
  if (content_.compare(start, text.size(), text) == 0) by_text_.emplace(start, line);
}

std::vector<const HexLine*> HexLines::decoding_to(std::size_t text) const {
  std::vector<const HexLine*> found;
  const auto [first, last] = by_text_.equal_range(text);
  for (auto it = first; it != last; ++it) found.push_back(&lines_[it->second]);
  // In file order, whatever order the table keeps them in.
  std::sort(found.begin(), found.end(),
            [](const HexLine* a, const HexLine* b) { return a->at < b->at; });
  return found;
}

const HexLine* HexLines::of_count_within(std::size_t count, std::size_t from,
                                         std::size_t to) const {
  const auto lines = by_count_.find(count);
  if (lines == by_count_.end()) return nullptr;
  const std::vector<std::size_t>& indices = lines->second;
  const auto found = std::lower_bound(
      indices.begin(), indices.end(), from,
      [this](std::size_t index, std::size_t pos) { return lines_[index].at < pos; });
  if (found == indices.end() || lines_[*found].at > to) return nullptr;
  return &lines_[*found];
}

std::vector<std::uint8_t> HexLines::bytes_of(const HexLine& line) const {
  const std::size_t digits = line.at + label_size_;
  return bytes_from_hex_string(content_.substr(digits, line.end - digits))
      .value_or(std::vector<std::uint8_t>{});
}

std::string without_crlf(std::string_view content) {
  std::string flat;
  flat.reserve(content.size());
  std::size_t from = 0;
  for (std::size_t cr = content.find("\r\n"); cr != NPOS; cr = content.find("\r\n", cr + 2)) {
    flat.append(content.substr(from, cr - from));
    from = cr + 1;  // the line break itself is kept
  }
  flat.append(content.substr(from));
  return flat;
}

bool has_crlf_line_ends(std::string_view content) {
  std::size_t crlf = 0;
  std::size_t lf = 0;
  const auto count = [&](std::size_t line_break) {
    if (line_break > 0 && content[line_break - 1] == '\r') {
      ++crlf;
    } else {
      ++lf;
    }
  };
  // Headers: "... (n bytes) ---" and "[...] n bytes".
  for_each_occurrence(content, " bytes", [&](std::size_t at) {
    std::size_t end = at + 6;
    if (content.substr(end, 5) == ") ---") end += 5;
    if (content.substr(end, 2) == "\r\n") end += 1;
    if (end < content.size() && content[end] == '\n') count(end);
    return true;
  });
  // Hex lines, each line end searched once however the labels are crowded together.
  for (const std::string_view label :
       {std::string_view("\nRAW_HEX: "), std::string_view("\n  HEX:  ")}) {
    std::size_t line_break = 0;
    for_each_occurrence(content, label, [&](std::size_t at) {
      if (line_break != NPOS && line_break <= at) {
        line_break = content.find('\n', at + 1);
        if (line_break != NPOS) count(line_break);
      }
      return line_break != NPOS;
    });
  }
  if (crlf + lf > 0) return crlf >= lf;
  // No record at all (a scan log, a probe that got no answer): every line break after a CR.
  std::size_t line_break = content.find('\n');
  if (line_break == NPOS) return false;
  for (; line_break != NPOS; line_break = content.find('\n', line_break + 1)) {
    if (line_break == 0 || content[line_break - 1] != '\r') return false;
  }
  return true;
}

FlattenedLog flatten_crlf(std::string_view content) {
  FlattenedLog flat;
  flat.content.reserve(content.size());
  std::size_t from = 0;
  for (std::size_t cr = content.find("\r\n"); cr != NPOS; cr = content.find("\r\n", cr + 2)) {
    flat.content.append(content.substr(from, cr - from));
    flat.lost_cr.push_back(flat.content.size());
    from = cr + 1;  // the line break itself is kept
  }
  flat.content.append(content.substr(from));
  // Cut between a CR and its LF: what an LF log cut just after its line break would be.
  if (flat.content.ends_with('\r')) flat.content.pop_back();
  return flat;
}

std::size_t FlattenedLog::original_offset(std::size_t pos) const {
  return pos + static_cast<std::size_t>(std::upper_bound(lost_cr.begin(), lost_cr.end(), pos) -
                                        lost_cr.begin());
}

TextLengths::TextLengths(std::string_view content, bool crlf, StopPoll& poll)
    : size_(content.size()),
      crlf_(crlf),
      line_breaks_(content, crlf ? std::string_view("\n") : std::string_view(), poll),
      replacements_(content, "\xef\xbf\xbd", poll) {}

std::size_t TextLengths::shortest(std::size_t text, std::uint64_t count) const {
  if (count > size_) return size_;
  const auto n = static_cast<std::size_t>(count);
  if (!crlf_) return n;
  // The smallest length that, with a CR for each of its line breaks, makes up the bytes.
  std::size_t low = 0;
  std::size_t high = n;
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    if (mid + line_breaks_.count_within(text, text + mid) >= n) {
      high = mid;
    } else {
      low = mid + 1;
    }
  }
  return low;
}

std::size_t TextLengths::longest(std::size_t text, std::uint64_t count) const {
  if (count > size_) return size_;
  const auto n = static_cast<std::size_t>(count);
  // Grows to take in every U+FFFD that the length so far holds; it settles within a few rounds
  // (a third of what is left each time at worst), else the bound that holds for any text.
  std::size_t length = n;
  for (int round = 0; round < 64; ++round) {
    const std::size_t longer = n + 2 * replacements_.count_within(text, text + length);
    if (longer <= length || longer >= size_) return std::min(longer, size_);
    length = longer;
  }
  return std::min(3 * n + 2, size_);
}

}  // namespace kelp
