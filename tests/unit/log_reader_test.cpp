// Reading the tool's logs back: every layout, and what a damaged file gives.
#include "capture/log_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "capture/files.h"
#include "capture/log_time.h"
#include "text/byte_text.h"
#include "text/hex.h"

namespace kelp {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::string_view text) { return {text.begin(), text.end()}; }

struct Written {
  std::uint64_t number;
  std::string time;
  std::string source;
  Bytes bytes;
};

// What the tool writes: records through format_record, frames through format_frame_record.
std::string record(const Written& w) {
  return record_text(format_record(w.number, w.time, w.source, w.bytes));
}
std::string frame(const Written& w) {
  return format_frame_record(w.time, w.source, w.bytes.size(), decode_text(w.bytes),
                             hex_string(w.bytes));
}

struct Warned {
  std::size_t line;
  std::string what;  // a part of the warning's text
};

struct Case {
  std::string name;
  std::string content;
  LogKind kind;
  std::vector<Written> records;  // `number` of a proxy frame: its place in its direction
  std::vector<Warned> warnings;
  // Whole records quoted in a damaged record's text may be named too ("whole, but skipped").
  bool quoted_may_be_named = false;
};

std::size_t lines_in(std::string_view text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(LogReader, ReadsExactlyWhatWasWrittenAndSkipsDamage) {
  const std::string sender = "udp/192.168.1.20:50123";
  const Written empty{1, "23:59:59.998", sender, {}};
  const Written crlf{2, "23:59:59.999", sender, bytes("Hi\r\n\xff")};
  // A payload that holds a whole record of its own and a hex line: only its real hex line counts.
  const Written fake{3, "00:00:00.001", sender,
                     bytes("x\nRAW_HEX: 78\n\n--- #9 at 00:00:00.000 from udp/1.2.3.4:5 (1 bytes) "
                           "---\nRAW_TEXT: y\nRAW_HEX: 79\n\n")};
  const Written fourth{4, "00:00:01.000", sender, bytes("LANE 4;1:02.37")};
  const std::string udp = record(empty) + record(crlf) + record(fake) + record(fourth);

  const Written probe{1, "14:03:27.512", "probe/COM3@9600-O-8-1 [text=VER\r\n (2 bytes) ---\n]",
                      bytes("OK\x03")};
  const Written mm{0, "14:03:27.512", "MM->CTS6", bytes("\x02SWIM,QRY\x03")};
  const Written cts{0, "14:03:27.511", "CTS6->MM", bytes("OK\r\n")};  // written second
  const Written mm2{0, "14:03:28.000", "MM->CTS6", bytes("\x03")};

  std::string flipped_hex = record(crlf);
  flipped_hex.replace(flipped_hex.find("0d 0a"), 5, "0d 0g");
  std::string other_text = record(crlf);
  other_text.replace(other_text.find("Hi"), 2, "Ho");
  std::string short_hex = record(crlf);
  short_hex.replace(short_hex.find(" ff"), 3, "");

  std::vector<Case> cases = {
      {"empty file", "", LogKind::Unknown, {}, {}},
      {"not a log",
       "PK\x03\x04 binary\n[not a time]\n--- # 1\n",
       LogKind::Unknown,
       {},
       {{1, "not part of any record, skipped to the end"}}},
      {"udp records, one holding a fake record",
       udp,
       LogKind::Udp,
       {empty, crlf, fake, fourth},
       {}},
      {"serial record",
       record({7, "10:00:00.000", "serial/COM3@9600",
               bytes("A\x03"
                     "B")}),
       LogKind::Serial,
       {{7, "10:00:00.000", "serial/COM3@9600",
         bytes("A\x03"
               "B")}},
       {}},
      {"probe record with a label across lines, then its ERROR line",
       record(probe) + "[14:03:27.512] probe=text=VER\r\n baud=9600-O-8-1 ERROR: read: gone\n",
       LogKind::Probe,
       {probe},
       {}},
      {"probe without answer",
       "[14:03:27.512] probe=preset=enq baud=9600-N-8-1 NO_RESPONSE\n",
       LogKind::Probe,
       {},
       {}},
      {"proxy frames, numbered per direction",
       frame(mm) + frame(cts) + frame(mm2),
       LogKind::Proxy,
       {{1, mm.time, mm.source, mm.bytes},
        {1, cts.time, cts.source, cts.bytes},
        {2, mm2.time, mm2.source, mm2.bytes}},
       {}},
      {"scan log",
       "[10:00:00.000] baud=4800-N-8-1 preset=enq -> 3 bytes\n    hex: 41 0d 0a\n"
       "[10:00:01.000] baud=4800-N-8-1 preset=cr -> NO_RESPONSE\n",
       LogKind::Scan,
       {},
       {}},
      {"damaged hex line",
       record(empty) + flipped_hex + record(fourth),
       LogKind::Udp,
       {empty, fourth},
       {{5, "record #2: its hex line is damaged"}}},
      {"text that disagrees with the hex",
       record(empty) + other_text + record(fourth),
       LogKind::Udp,
       {empty, fourth},
       {{5, "record #2: its text line does not match"}}},
      {"fewer bytes than announced",
       record(empty) + short_hex + record(fourth),
       LogKind::Udp,
       {empty, fourth},
       {{5, "no hex line of the 5 bytes"}}},
      {"stray text between records",
       record(empty) + "a note\nand more\n" + record(fourth),
       LogKind::Udp,
       {empty, fourth},
       {{5, "not part of any record, skipped up to line 7"}}},
      {"a record of another kind",
       record(empty) + frame(mm) + record(fourth),
       LogKind::Udp,
       {empty, fourth},
       {{5, "a proxy entry in a udp log"}}},
      {"a sender that is no IPv4 address",
       record({1, "10:00:00.000", "udp/192.168.001.20:5", bytes("A")}) + record(fourth),
       LogKind::Udp,
       {fourth},
       {{1, "the sender is not an IPv4 address"}}},
  };

  // A damaged record costs itself alone. A full disk refuses the longest piece of a record, its
  // hex line: with fixed-size datagrams the next record's hex line has the length the damaged one
  // announces, and must stay the next record's. A wrong count, or a hex line cut mid-line, must
  // not cost the records after it either.
  for (std::size_t size = 10; size < 300; size += 1) {
    std::vector<Written> same;
    for (std::uint64_t i = 1; i <= 3; ++i) {
      same.push_back({i, "12:00:0" + std::to_string(i) + ".000", sender,
                      Bytes(size, static_cast<std::uint8_t>('A' + i))});
    }
    std::string lost_hex = record(same[1]);
    lost_hex.erase(lost_hex.find("RAW_HEX: "), 3 * size + 9);
    cases.push_back({"hex line lost, " + std::to_string(size) + " bytes",
                     record(same[0]) + lost_hex + record(same[2]),
                     LogKind::Udp,
                     {same[0], same[2]},
                     {{5, "record #2: no hex line of the " + std::to_string(size) + " bytes"}}});
  }
  const Written fifth{5, "00:00:02.000", sender, bytes("RUN")};
  std::string more = record(crlf);
  more.replace(more.find("(5 bytes)"), 9, "(50 bytes)");
  std::string fewer = record(fake);
  const std::string fake_count = "(" + std::to_string(fake.bytes.size()) + " bytes)";
  fewer.replace(fewer.find(fake_count), fake_count.size(), "(9 bytes)");
  std::string cut_hex = record(crlf);
  cut_hex.replace(cut_hex.find(" 0d 0a ff\n"), 10, " 0\n");
  std::string no_header = record(fake);
  no_header.erase(0, no_header.find("RAW_TEXT"));
  cases.push_back({"a count too large",
                   record(empty) + more + record(fourth) + record(fifth) + record(fake),
                   LogKind::Udp,
                   {empty, fourth, fifth, fake},
                   {{5, "record #2: its header announces 50 bytes, its hex line holds 5"}}});
  cases.push_back({"a count too small",
                   record(empty) + fewer + record(fourth),
                   LogKind::Udp,
                   {empty, fourth},
                   {{5, "record #3: its header announces 9 bytes, its hex line holds"},
                    {9,
                     "record #9: whole, but skipped: it may be part of the text of the damaged "
                     "record on line 5"}}});
  cases.push_back({"a hex line cut mid-line",
                   record(empty) + cut_hex + record(fourth),
                   LogKind::Udp,
                   {empty, fourth},
                   {{5, "record #2: no hex line of the 5 bytes"}}});
  cases.push_back({"a record that lost its header",
                   record(empty) + no_header + record(fourth),
                   LogKind::Udp,
                   {empty, fourth},
                   {{5, "a record whose header cannot be read"}, {8, "record #9: whole, but"}}});

  // A count made too large near the end, where the record cannot be told from the last one cut
  // short: the whole records its text would hold are named, the others come back.
  std::string thirteen;
  std::vector<Written> tail;
  for (std::uint64_t i = 1; i <= 13; ++i) {
    const Written w{i, "12:00:" + std::to_string(10 + i) + ".000", "serial/COM3@9600",
                    bytes(std::string(86, static_cast<char>('a' + i)))};
    thirteen += record(w);
    if (i < 11) tail.push_back(w);
  }
  thirteen.replace(thirteen.find("(86", thirteen.find("#11 at")), 3, "(886");
  cases.push_back({"count 886 near the end",
                   thirteen,
                   LogKind::Serial,
                   tail,
                   {{41, "record #11 cut short: the file ends before its 886 bytes"},
                    {45, "record #12: whole, but skipped"},
                    {49, "record #13: whole, but skipped"}}});
  // Line ends changed to CR LF, every LF (a mail program), or only those without a CR before them
  // (a Windows editor): the log reads as it was written, CR LF in the data included.
  const auto crlf_all = [](std::string text, bool keep_crlf) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\n' && !(keep_crlf && i > 0 && text[i - 1] == '\r')) out += '\r';
      out += text[i];
    }
    return out;
  };
  const std::string mailed = crlf_all(udp, false);
  // A note added by hand with a lone LF, a line that lost its CR, the file cut between the CR
  // and the LF of the empty line after a record: read line by line, as in an LF log.
  cases.push_back({"CR LF, a note with a lone LF at the end",
                   mailed + "re-swum heat 3\n",
                   LogKind::Udp,
                   {empty, crlf, fake, fourth},
                   {{lines_in(udp) + 1, "not part of any record, skipped to the end"}}});
  for (const std::string_view line_end : {" ---\r\n", "RAW_HEX: \r\n", "78\r\n\r\n"}) {
    std::string lost = mailed;
    const std::size_t at = lost.find(line_end);
    lost.erase(at + line_end.find('\r'), 1);
    cases.push_back({"CR LF, a CR lost after " + std::string(line_end.substr(0, 4)),
                     lost,
                     LogKind::Udp,
                     {empty, crlf, fake, fourth},
                     {}});
  }
  std::string cut_in_line_end = crlf_all(record(empty) + record(fourth), false);
  cut_in_line_end.pop_back();
  cases.push_back({"CR LF, cut between the CR and the LF after a record",
                   cut_in_line_end,
                   LogKind::Udp,
                   {empty, fourth},
                   {}});

  // A record whose payload quotes a record, a byte of its text line lost or added: never the
  // quoted record, taken from inside its text; a warning for the damaged one.
  const Written inner{5, "12:00:05.000", "serial/COM3@9600", bytes("abc")};
  const std::string quoting = record(
                        {4, "12:00:04.000", "serial/COM3@9600", bytes("QQ" + record(inner))}),
                    framed = frame({0, "12:00:04.000", "MM->CTS6", bytes("QQ" + frame(inner))});
  for (const std::string& damaged : {quoting, framed}) {
    const bool proxy = damaged == framed;
    const Written around = {1, "12:00:03.000", proxy ? "CTS6->MM" : "serial/COM3@9600",
                            bytes("OK")};
    const std::string whole = proxy ? frame(around) : record(around);
    for (std::size_t at = damaged.find("TEXT: ") - (proxy ? 2 : 4); at < damaged.find("HEX:");
         ++at) {
      for (const bool lost : {true, false}) {
        std::string one = damaged;
        lost ? one.erase(at, 1) : one.insert(at, 1, 'z');
        cases.push_back({(lost ? "lost at " : "added at ") + std::to_string(at),
                         whole + one,
                         proxy ? LogKind::Proxy : LogKind::Serial,
                         {around},
                         {{5, proxy ? "MM->CTS6 frame" : "record #4"}},
                         true});
      }
    }
  }

  for (const bool keep : {false, true}) {
    cases.push_back({keep ? "CR LF for lone LF" : "CR LF for every LF",
                     crlf_all(udp, keep),
                     LogKind::Udp,
                     {empty, crlf, fake, fourth},
                     {}});
    cases.push_back({keep ? "CR LF frames, lone LF" : "CR LF frames",
                     crlf_all(frame(cts), keep),
                     LogKind::Proxy,
                     {{1, cts.time, cts.source, cts.bytes}},
                     {}});
  }

  // The last record cut short at every byte: it is either whole (only its empty line is missing)
  // or skipped with one warning, never read as something else, not even as the record its text
  // holds.
  const Written serial_first{1, "12:00:00.000", "serial/COM3@9600", bytes("A")};
  const Written serial_fake{2, "12:00:01.000", "serial/COM3@9600",
                            bytes("\n--- #3 at 12:00:02.000 from serial/COM3@9600 (0 bytes) ---\n"
                                  "RAW_TEXT: \nRAW_HEX: \n\n")};
  for (const auto& [first, last, kind] :
       {std::tuple{empty, fake, LogKind::Udp}, {serial_first, serial_fake, LogKind::Serial}}) {
    const std::string whole = record(last);
    // The record its text quotes is named once it is whole in what is left.
    const std::size_t quoted = whole.find("\n--- #") + 1;
    const std::size_t quoted_whole = whole.find("RAW_HEX: ", quoted);
    const std::size_t quoted_end = whole.find('\n', quoted_whole) + 1;
    for (std::size_t cut = 1; cut < whole.size(); ++cut) {
      const std::string content = record(first) + whole.substr(0, cut);
      const std::size_t line = lines_in(record(first)) + 1;
      if (cut == whole.size() - 1) {
        cases.push_back({"cut before the empty line", content, kind, {first, last}, {}});
      } else if (cut >= quoted_end) {
        cases.push_back({"cut at " + std::to_string(cut),
                         content,
                         kind,
                         {first},
                         {{line, "cut short"},
                          {line + lines_in(whole.substr(0, quoted)), "whole, but skipped"}}});
      } else {
        cases.push_back(
            {"cut at " + std::to_string(cut), content, kind, {first}, {{line, "cut short"}}});
      }
    }
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogReading reading = read_log(c.content);
    EXPECT_EQ(reading.kind, c.kind);
    // Every case is reported, not only the first that fails.
    EXPECT_EQ(reading.records.size(), c.records.size());
    if (reading.records.size() != c.records.size()) continue;
    for (std::size_t i = 0; i < c.records.size(); ++i) {
      const LogRecord& got = reading.records[i];
      EXPECT_EQ(got.number, c.records[i].number) << i;
      EXPECT_EQ(got.time, c.records[i].time) << i;
      EXPECT_EQ(got.time_of_day_ms, parse_event_time(c.records[i].time)) << i;
      EXPECT_EQ(got.source, c.records[i].source) << i;
      EXPECT_EQ(got.bytes, c.records[i].bytes) << i;
    }
    if (c.quoted_may_be_named && reading.warnings.size() > c.warnings.size()) {
      for (std::size_t i = c.warnings.size(); i < reading.warnings.size(); ++i) {
        EXPECT_NE(reading.warnings[i].what.find("whole, but skipped"), std::string::npos)
            << reading.warnings[i].what;
      }
      reading.warnings.resize(c.warnings.size());
    }
    EXPECT_EQ(reading.warnings.size(), c.warnings.size())
        << (reading.warnings.empty() ? "" : reading.warnings[0].what);
    if (reading.warnings.size() != c.warnings.size()) continue;
    for (std::size_t i = 0; i < c.warnings.size(); ++i) {
      EXPECT_EQ(reading.warnings[i].line, c.warnings[i].line) << reading.warnings[i].what;
      EXPECT_NE(reading.warnings[i].what.find(c.warnings[i].what), std::string::npos)
          << reading.warnings[i].what;
    }
  }
}

// The date comes from the file name, the day of each record from the times before it.
TEST(LogReader, DatesFromTheFileNameAndTheTimes) {
  const auto stamp = run_stamp_from_file_name("captures/udp_20261231_235959_2.log");
  ASSERT_TRUE(stamp);
  EXPECT_EQ(stamp->date, (CivilDate{2026, 12, 31}));
  EXPECT_EQ(stamp->time_of_day_ms, 86399000u);
  EXPECT_EQ(run_stamp_from_file_name("meet 20261206_231705 final.log")->date,
            (CivilDate{2026, 12, 6}));
  for (const std::string_view none :
       {"final.log", "udp_20261306_231705.log", "udp_20260230_120000.log", "x_120261206_231705.log",
        "20261206_231705/meet.log"}) {
    EXPECT_FALSE(run_stamp_from_file_name(none)) << none;
  }

  // Back by more than an hour: the next day; by less (proxy frames written out of order, a
  // clock set back): the same day.
  const std::uint32_t times[] = {86399000, 86399500, 500, 400, 3700000, 60000, 50000};
  EXPECT_EQ(day_numbers(86390000, times), (std::vector<std::uint32_t>{0, 0, 1, 1, 1, 2, 2}));
  EXPECT_EQ(day_numbers(1000, std::vector<std::uint32_t>{500}), std::vector<std::uint32_t>{0});

  // A renamed log: the days counted back from the file's last write.
  EXPECT_EQ(first_day_before({2027, 1, 1}, 100, times), (CivilDate{2026, 12, 30}));
  EXPECT_EQ(first_day_before({2027, 1, 2}, 50000, times), (CivilDate{2026, 12, 31}));
  EXPECT_EQ(first_day_before({2027, 1, 1}, 1000, std::vector<std::uint32_t>{86399000}),
            (CivilDate{2026, 12, 31}));

  EXPECT_EQ(days_from_civil({1970, 1, 1}), 0);
  EXPECT_EQ(days_from_civil({2026, 12, 6}), 20793);
  EXPECT_EQ(civil_from_days(20793 + 26), (CivilDate{2027, 1, 1}));
  EXPECT_EQ(civil_from_days(days_from_civil({2028, 2, 29})), (CivilDate{2028, 2, 29}));
}

// New York in 2026, as the zone's rules say: summer time from 8 March 07:00 UTC (02:00 becomes
// 03:00) to 1 November 06:00 UTC (02:00 summer time becomes 01:00 again).
std::optional<std::int32_t> new_york(std::int64_t t) {
  constexpr std::int64_t SPRING = 1772953200;
  constexpr std::int64_t AUTUMN = 1793512800;
  return t >= SPRING && t < AUTUMN ? -4 * 3600 : -5 * 3600;
}

std::vector<std::int64_t> instants(const CivilDate& day, std::uint32_t start_ms,
                                   const std::vector<std::string_view>& times) {
  std::vector<std::uint32_t> ms;
  for (const std::string_view time : times) ms.push_back(*parse_event_time(time));
  return record_instants_ms(day, day_numbers(start_ms, ms), ms, new_york);
}

// The repeated hour of the autumn change keeps its order and its spacing: the step back of about
// an hour is the clocks going back, a step back of milliseconds (two proxy directions) is not;
// the hour the spring change skips takes no time.
TEST(LogReader, InstantsAcrossTheClockChanges) {
  constexpr std::int64_t AUTUMN_MS = 1793512800000;
  EXPECT_EQ(instants({2026, 11, 1}, 5400000,
                     {"01:30:00.000", "01:59:59.500", "01:00:00.250", "01:00:00.200",
                      "01:45:00.000", "02:10:00.000"}),
            (std::vector<std::int64_t>{AUTUMN_MS - 1800000, AUTUMN_MS - 500, AUTUMN_MS + 250,
                                       AUTUMN_MS + 200, AUTUMN_MS + 2700000, AUTUMN_MS + 4200000}));
  // Within the repeated hour, but no step back of any size: the first meaning throughout.
  EXPECT_EQ(
      instants({2026, 11, 1}, 4000000, {"01:10:00.000", "01:09:59.990", "01:20:00.000"}),
      (std::vector<std::int64_t>{AUTUMN_MS - 3000000, AUTUMN_MS - 3000010, AUTUMN_MS - 2400000}));
  EXPECT_EQ(instants({2026, 3, 8}, 7000000, {"01:59:59.000", "03:00:01.000"}),
            (std::vector<std::int64_t>{1772953199000, 1772953201000}));
  // An ordinary day: local time plus five hours.
  EXPECT_EQ(instants({2026, 12, 6}, 0, {"23:17:05.042"}),
            (std::vector<std::int64_t>{
                (20793LL * 86400 + 23 * 3600 + 17 * 60 + 5 + 5 * 3600) * 1000 + 42}));
}

}  // namespace
}  // namespace kelp
