#include "message_format.h"

#include <glib.h>

namespace standin_app {

namespace {

void append_escaped(std::string& out, const std::string& field) {
  for (char c : field) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      default: out += c;
    }
  }
}

// The field's text, or nullopt for an escape that stands for nothing.
std::optional<std::string> unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      out += field[i];
      continue;
    }
    if (++i == field.size()) return std::nullopt;
    switch (field[i]) {
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      default: return std::nullopt;
    }
  }
  return out;
}

}  // namespace

std::string encode_message(const Message& message) {
  std::string out;
  for (size_t i = 0; i < message.size(); ++i) {
    if (i > 0) out += '\t';
    append_escaped(out, message[i]);
  }
  return out;
}

std::optional<Message> decode_message(const std::string& bytes) {
  if (!g_utf8_validate(bytes.data(), static_cast<gssize>(bytes.size()), nullptr)) {
    return std::nullopt;
  }
  Message message;
  size_t start = 0;
  while (true) {
    size_t tab = bytes.find('\t', start);
    auto field = unescape(bytes.substr(start, tab == std::string::npos ? tab : tab - start));
    if (!field) return std::nullopt;
    message.push_back(std::move(*field));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  if (message[0].empty()) return std::nullopt;
  return message;
}

}  // namespace standin_app
