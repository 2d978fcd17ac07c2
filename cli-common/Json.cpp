#include "cli-common/Json.h"

#include <cstdio>

#include "cli-common/Values.h"

namespace cli {

std::string JsonString(std::string_view utf8) {
    std::string text = "\"";
    for (const char c : utf8) {
        switch (c) {
            case '"': text += "\\\""; break;
            case '\\': text += "\\\\"; break;
            case '\n': text += "\\n"; break;
            case '\r': text += "\\r"; break;
            case '\t': text += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
                    text += escaped;
                } else {
                    text += c;
                }
        }
    }
    return text + "\"";
}

JsonObject& JsonObject::Name(std::string_view name) {
    if (text_.size() > 1) text_ += ", ";
    text_ += JsonString(name) + ": ";
    return *this;
}

JsonObject& JsonObject::Field(std::string_view name, std::string_view text) {
    Name(name).text_ += JsonString(text);
    return *this;
}

JsonObject& JsonObject::Field(std::string_view name, std::int64_t number) {
    Name(name).text_ += std::to_string(number);
    return *this;
}

JsonObject& JsonObject::Field(std::string_view name, bool value) {
    Name(name).text_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::Null(std::string_view name) {
    Name(name).text_ += "null";
    return *this;
}

JsonObject& JsonObject::Raw(std::string_view name, std::string_view json) {
    Name(name).text_ += json;
    return *this;
}

void JsonList::Open() {
    if (opened_) return;
    opened_ = true;
    out_ << "[\n";
}

void JsonList::Add(const JsonObject& object) {
    Open();
    out_ << (first_ ? "" : ",\n") << object.Text();
    out_.flush();
    first_ = false;
}

void JsonList::Close() {
    if (closed_) return;
    Open();
    closed_ = true;
    out_ << (first_ ? "" : "\n") << "]\n";
    out_.flush();
}

JsonObject FoundPrinter(const protocol::DeviceRecord& record, std::size_t number) {
    const std::string id = "[" + std::to_string(record.bytes[0]) + ", " + std::to_string(record.bytes[1]) + "]";
    return JsonObject()
        .Field("number", static_cast<std::int64_t>(number))
        .Field("line", record.ListLine())
        .Raw("id", id)
        .Field("mac", MacText(record.mac()))
        .Field("ip", protocol::Ipv4Text(record.ip()));
}

}  // namespace cli
