#ifndef STANDINS_APP_MESSAGE_FORMAT_H_
#define STANDINS_APP_MESSAGE_FORMAT_H_

// The application's messages between its Dart side and its Python program:
// one message is one bridge payload of UTF-8 text, fields separated by TAB,
// the first field the message's kind. Inside a field a backslash, a TAB and
// a line feed are written as "\\", "\t" and "\n".

#include <optional>
#include <string>
#include <vector>

namespace standin_app {

using Message = std::vector<std::string>;  // kind, then the arguments

std::string encode_message(const Message& message);

// nullopt when the bytes are not UTF-8, a field ends in a lone backslash,
// or the kind is empty.
std::optional<Message> decode_message(const std::string& bytes);

}  // namespace standin_app

#endif  // STANDINS_APP_MESSAGE_FORMAT_H_
