// The places in a log that its reader looks up again and again, each found in one pass over the
// file, so that reading stays linear in the file's size however its headers are crafted (a header
// may announce any number of bytes, and every header would otherwise search that far).
//
// `Occurrences` lists where a fixed text occurs. `HexLines` lists the lines that may be a record's
// hex line (a line break, "RAW_HEX: " or "  HEX:  ", and everything up to the next line break)
// and, for each whose digits are what `hex_string` writes, where the text line that its bytes
// decode to would start: a record is whole exactly when its header's text starts there. Two such
// lines of the same length lie further apart than any record's text is long, so a header finds at
// most one line of its length where its own hex line may be.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kelp {

// Asks a stop function (Ctrl+C) now and then, from loops that may run long.
class StopPoll {
 public:
  explicit StopPoll(bool (*stop)()) : stop_(stop) {}
  // True once the stop function has said so.
  bool now();
  bool stopped() const { return stopped_; }

 private:
  bool (*stop_)();
  unsigned calls_ = 0;
  bool stopped_ = false;
};

class Occurrences {
 public:
  // An empty needle occurs nowhere.
  Occurrences(std::string_view content, std::string_view needle, StopPoll& poll);
  // The first at or after `from`; npos when there is none.
  std::size_t next(std::size_t from) const;
  // How many start within [from, to).
  std::size_t count_within(std::size_t from, std::size_t to) const;

 private:
  std::vector<std::size_t> at_;
};

struct HexLine {
  std::size_t at = 0;     // the line break before its label
  std::size_t end = 0;    // the line break after its digits
  std::size_t count = 0;  // how many bytes digits of its length hold
  bool well_formed = false;
};

class HexLines {
 public:
  // `label` begins with the line break that ends the text line. `crlf`: the content is a log whose
  // line ends had been changed to CR LF, made LF again; a CR LF in a record's text then may have
  // lost its CR, so a line also counts for the text without those CRs.
  HexLines(std::string_view content, std::string_view label, bool crlf, StopPoll& poll);

  // The lines whose bytes decode to the text that starts at `text` and ends with the line break
  // before the line.
  std::vector<const HexLine*> decoding_to(std::size_t text) const;
  // The first line of `count` bytes whose line break lies within [from, to]; null when none.
  const HexLine* of_count_within(std::size_t count, std::size_t from, std::size_t to) const;
  std::vector<std::uint8_t> bytes_of(const HexLine& line) const;

 private:
  void index_text(const std::string& text, std::size_t line);

  std::string_view content_;
  std::size_t label_size_;
  std::vector<HexLine> lines_;
  std::unordered_map<std::size_t, std::vector<std::size_t>> by_count_;
  std::unordered_multimap<std::size_t, std::size_t> by_text_;
};

// The content with every CR LF made LF; the line breaks stay where they were, counted as before.
std::string without_crlf(std::string_view content);

// Whether the log's line ends were changed to CR LF (mailed, or saved by a Windows editor): at
// least as many of the lines that the tool always ends in a lone LF (record and frame headers, hex
// lines) end in CR LF as in LF. Text lines are not counted, since the data may hold CR LF of its
// own; lines that lost their CR, or notes added since, leave the answer as it was. A log without
// such lines (a scan log, a probe that got no answer) has CR LF line ends when all of its lines
// end in CR LF.
bool has_crlf_line_ends(std::string_view content);

// A log whose line ends were changed to CR LF, read as the tool wrote it: every CR LF made LF,
// and a CR at the very end (the file cut between the CR and the LF) left out. Its places can be
// turned back into places in the file.
struct FlattenedLog {
  std::string content;
  std::vector<std::size_t> lost_cr;  // each line break in `content` that had a CR before it

  // Where the byte at `pos` of `content` is in the file.
  std::size_t original_offset(std::size_t pos) const;
};
FlattenedLog flatten_crlf(std::string_view content);

// How long the text line of a record of `count` bytes that starts at `text` may be, from what
// follows `text` (when the record's hex line is not there to say). Each byte is at least one byte
// of text; an ill-formed byte becomes the three bytes of U+FFFD; a CR LF of the data may have
// become LF in a log whose line ends were changed to CR LF. So the text is at least as long as
// the bytes less the line breaks it holds, and at most as long as the bytes plus two for each
// U+FFFD it holds.
class TextLengths {
 public:
  TextLengths(std::string_view content, bool crlf, StopPoll& poll);
  std::size_t shortest(std::size_t text, std::uint64_t count) const;
  std::size_t longest(std::size_t text, std::uint64_t count) const;

 private:
  std::size_t size_;
  bool crlf_;
  Occurrences line_breaks_;
  Occurrences replacements_;
};

}  // namespace kelp
