#pragma once
// The little JSON that --json prints: one array, one object per printer or
// entry, each object on a line of its own as soon as it is known, so that a
// scan streams while `python3 -m json.tool` still reads the whole output.
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "protocol/Discovery.h"

namespace cli {

// A quoted JSON string. `utf8` must be UTF-8 (names that may not be are
// escaped by their owners first); quotes, backslashes and control characters
// are escaped.
std::string JsonString(std::string_view utf8);

// One object, built field by field in the order given.
class JsonObject {
public:
    JsonObject& Field(std::string_view name, std::string_view text);
    JsonObject& Field(std::string_view name, const char* text) { return Field(name, std::string_view(text)); }
    JsonObject& Field(std::string_view name, std::int64_t number);
    JsonObject& Field(std::string_view name, int number) { return Field(name, static_cast<std::int64_t>(number)); }
    JsonObject& Field(std::string_view name, bool value);
    JsonObject& Null(std::string_view name);
    // A value written as JSON already (an array of numbers).
    JsonObject& Raw(std::string_view name, std::string_view json);
    std::string Text() const { return text_ + "}"; }

private:
    JsonObject& Name(std::string_view name);
    std::string text_ = "{";
};

// "[", the objects separated by ",\n", "]": written as they come.
class JsonList {
public:
    explicit JsonList(std::ostream& out) : out_(out) {}
    ~JsonList() { Close(); }
    JsonList(const JsonList&) = delete;
    JsonList& operator=(const JsonList&) = delete;

    void Add(const JsonObject& object);
    void Close();  // writes the end (and the start of an empty list)

private:
    void Open();
    std::ostream& out_;
    bool opened_ = false;
    bool closed_ = false;
    bool first_ = true;
};

// A printer found by a scan, alike in every program: its number in the list,
// the list line as the window shows it, both identifying bytes, MAC and IP.
//   {"number": 1, "line": "(1.0)192.168.0.199.", "id": [1, 0], "mac": "00:1a:0b:ff:07:c0", "ip": "192.168.0.199"}
JsonObject FoundPrinter(const protocol::DeviceRecord& record, std::size_t number);

}  // namespace cli
