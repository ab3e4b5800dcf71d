// The generated reader documents written as YAML block text, as a user's
// configuration or payload would be (mappings one member a line, sequences
// of containers one "- " entry a line, flat arrays in flow style), and the
// YAML library's bare event loop that the YAML readers are measured against.
#pragma once

#include <benchmark/benchmark.h>
#include <yaml.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "reader_documents.h"

namespace yaml_bench {

inline bool IsWord(const std::string& s) {
  return s == "y" || s == "Y" || s == "n" || s == "N" || s == "yes" || s == "no" || s == "on" || s == "off" ||
         s == "true" || s == "false" || s == "null" || s == "Null" || s == "NULL" || s == "~";
}

// Texts that read back as themselves without quotes stay plain (names,
// timestamps, addresses, most sentences); texts with quotes, backslashes,
// control characters or a comment sign are double-quoted with escapes, most
// non-ASCII characters raw and every third one as an escape.
inline void AppendText(const std::string& s, std::string* out) {
  const auto first = static_cast<unsigned char>(s.empty() ? ' ' : s[0]);
  bool plain = !s.empty() && !IsWord(s) && s.back() != ' ' &&
               (std::isalpha(first) || first >= 0x80 || (std::isdigit(first) && s.back() == 'Z'));
  for (std::size_t i = 0; plain && i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    const bool last = i + 1 == s.size();
    plain = c >= 0x80 || std::isalnum(c) || std::strchr("@.-_'%!?/()<>", c) != nullptr ||
            (c == ':' && !last && s[i + 1] != ' ') || (c == ' ' && !last && s[i + 1] != '#');
  }
  if (plain) {
    *out += s;
    return;
  }
  static int turn = 0;
  *out += '"';
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    char buffer[16];
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      const char* named = c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : nullptr;
      if (named == nullptr) {
        std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
        named = buffer;
      }
      *out += named;
      ++i;
    } else if (c < 0x80) {
      *out += static_cast<char>(c);
      ++i;
    } else {
      const std::size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
      if (++turn % 3 != 0) {
        out->append(s, i, length);
      } else {
        uint32_t cp = c & (length == 4 ? 0x07u : length == 3 ? 0x0fu : 0x1fu);
        for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3fu);
        std::snprintf(buffer, sizeof buffer, cp >= 0x10000 ? "\\U%08x" : "\\u%04x", cp);
        *out += buffer;
      }
      i += length;
    }
  }
  *out += '"';
}

inline bool IsContainer(const nlohmann::json& v) { return v.is_object() || (v.is_array() && !v.empty()); }

// Scalars, and arrays without containers in flow style ("[1, 2]").
inline void AppendFlow(const nlohmann::json& v, std::string* out) {
  switch (v.type()) {
    case nlohmann::json::value_t::array:
      *out += '[';
      for (std::size_t i = 0; i < v.size(); ++i) {
        if (i != 0) *out += ", ";
        AppendFlow(v[i], out);
      }
      *out += ']';
      break;
    case nlohmann::json::value_t::object:
      *out += "{}";
      break;
    case nlohmann::json::value_t::string:
      AppendText(v.get_ref<const std::string&>(), out);
      break;
    default:
      *out += v.dump();
      break;
  }
}

inline bool IsFlat(const nlohmann::json& v) {
  if (!v.is_array()) return !v.is_object() || v.empty();
  for (const auto& e : v) {
    if (e.is_object() || e.is_array()) return false;
  }
  return true;
}

// Block style: mappings one member a line, sequences of containers one
// "- " entry a line, flat arrays in flow style.
inline void AppendBlock(const nlohmann::json& v, int indent, bool inlineFirst, std::string* out) {
  const std::string pad(static_cast<std::size_t>(indent), ' ');
  bool first = true;
  if (v.is_object() && !v.empty()) {
    for (auto it = v.begin(); it != v.end(); ++it) {
      if (!(first && inlineFirst)) *out += pad;
      first = false;
      AppendText(it.key(), out);
      *out += ':';
      if (IsFlat(it.value())) {
        *out += ' ';
        AppendFlow(it.value(), out);
        *out += '\n';
      } else {
        *out += '\n';
        AppendBlock(it.value(), indent + 2, false, out);
      }
    }
  } else if (v.is_array() && !IsFlat(v)) {
    for (const auto& e : v) {
      if (!(first && inlineFirst)) *out += pad;
      first = false;
      *out += "- ";
      if (IsContainer(e) && !IsFlat(e)) {
        AppendBlock(e, indent + 2, true, out);
      } else {
        AppendFlow(e, out);
        *out += '\n';
      }
    }
  } else {
    *out += pad;
    AppendFlow(v, out);
    *out += '\n';
  }
}

inline const std::string& Text(int which) {
  static std::string texts[reader_bench::kDocumentCount];
  std::string& text = texts[which];
  if (text.empty()) {
    text = "---\n";
    AppendBlock(reader_bench::Document(which), 0, false, &text);
  }
  return text;
}

// The bare event loop of the YAML library: every event parsed and deleted,
// nothing built, the floor under any reader over it.
inline void CheckedEventLoop(benchmark::State& state, const std::string& text) {
  yaml_parser_t parser;
  yaml_parser_initialize(&parser);
  yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
  yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  std::size_t events = 0;
  for (;;) {
    yaml_event_t event;
    if (yaml_parser_parse(&parser, &event) == 0) {
      state.SkipWithError("peer failed");
      break;
    }
    const bool end = event.type == YAML_STREAM_END_EVENT;
    yaml_event_delete(&event);
    ++events;
    if (end) break;
  }
  yaml_parser_delete(&parser);
  benchmark::DoNotOptimize(events);
}

}  // namespace yaml_bench
