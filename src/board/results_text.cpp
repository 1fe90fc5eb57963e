#include "board/results_text.h"

#include "text/byte_text.h"
#include "text/unicode.h"

namespace kelp {
namespace {

std::string number_or_empty(const std::optional<unsigned>& number) {
  return number ? std::to_string(*number) : std::string();
}

std::string race_title(const RaceResult& race) {
  std::string title = "Results: event " + (race.id.event ? std::to_string(*race.id.event) : "-") +
                      " heat " + (race.id.heat ? std::to_string(*race.id.heat) : "-");
  return race.after_the_fact ? title + " (seen only after the fact)" : title;
}

std::string right(const std::string& text, std::size_t columns) {
  return text.size() >= columns ? text : std::string(columns - text.size(), ' ') + text;
}

std::size_t code_points(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t at = 0; at < text.size();) {
    next_code_point(text, at);
    ++count;
  }
  return count;
}

}  // namespace

std::string csv_field(std::string_view text) {
  if (text.find_first_of("\",\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string padded(std::string_view text, std::size_t columns) {
  const std::size_t width = code_points(text);
  std::string out(text);
  if (width < columns) out.append(columns - width, ' ');
  return out;
}

std::string console_safe(std::string_view text) {
  const std::string valid = decode_text(bytes_of(text));
  std::string out;
  out.reserve(valid.size());
  for (std::size_t at = 0; at < valid.size();) {
    const char32_t c = next_code_point(valid, at);
    append_utf8(out, c < 0x20 || (c >= 0x7F && c <= 0x9F) ? char32_t{0xFFFD} : c);
  }
  return out;
}

std::string results_csv_header() {
  return "event,heat,lane,place,time,seconds,name,team,seen,offset,after_the_fact\n";
}

std::string race_csv_rows(const RaceResult& race) {
  std::string rows;
  for (const RaceRow& row : race.rows) {
    const std::string fields[] = {
        number_or_empty(race.id.event),
        number_or_empty(race.id.heat),
        std::to_string(row.lane),
        number_or_empty(row.place),
        row.time,
        row.hundredths ? seconds_text(*row.hundredths) : std::string(),
        row.name.value_or(""),
        row.team.value_or(""),
        row.seen,
        std::to_string(row.offset),
        race.after_the_fact ? "true" : "false",
    };
    for (std::size_t i = 0; i < std::size(fields); ++i) {
      if (i) rows += ',';
      rows += csv_field(fields[i]);
    }
    rows += '\n';
  }
  return rows;
}

std::string race_table_text(const RaceResult& race) {
  std::string text = race_title(race) + "\n";
  text += "  Place  Lane  Time      Name                  Team\n";
  for (const RaceRow& row : race.rows) {
    std::string line = right(number_or_empty(row.place), 7) + right(std::to_string(row.lane), 6) +
                       "  " + padded(row.time, 10);
    if (row.name) {
      line += padded(console_safe(*row.name), 20) + "  " + console_safe(row.team.value_or(""));
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    text += line + "\n";
  }
  return text;
}

}  // namespace kelp
