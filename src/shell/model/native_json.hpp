// JSON for the native interface, read and written with json-glib: a request
// body's fields checked one by one, and a reply object built field by field.
#pragma once

#include <json-glib/json-glib.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "shell/model/glib_object.hpp"

namespace vantrel::shell {

// The fields of one JSON object. Each reader takes a field by name; the first
// field that is missing or of the wrong kind sets error() (later readers then
// answer nothing), and Finish() refuses the fields no reader asked for.
class JsonFields {
public:
    // Parses `text`; an empty text is the empty object. nullopt with `error`
    // set when the text is not JSON or not an object.
    static std::optional<JsonFields> Parse(std::string_view text, std::string& error);
    std::optional<std::string> Text(const char* name, bool required = false);
    std::optional<bool> Boolean(const char* name, bool required = false);
    // A whole number from `min` to `max` (a number such as 800.0 counts).
    std::optional<long long> Integer(const char* name, long long min, long long max, bool required = false);
    // An array whose every element is a text.
    std::optional<std::vector<std::string>> Texts(const char* name, bool required = false);
    // Each element of an array of objects, as fields of their own; nullopt when absent.
    std::optional<std::vector<JsonFields>> Objects(const char* name);

    // Refuses members that were not read. Returns ok().
    bool Finish();
    bool ok() const { return error_->empty(); }
    const std::string& error() const { return *error_; }
    // Records an error of the caller's own (the first one wins).
    void Fail(const std::string& message);

private:
    JsonFields(std::shared_ptr<JsonParser> parser, JsonObject* object, std::string where,
               std::shared_ptr<std::string> error);
    JsonNode* Member(const char* name, bool required);
    std::string Named(const char* name) const;

    std::shared_ptr<JsonParser> parser_;  // keeps the tree alive
    JsonObject* object_ = nullptr;        // borrowed from the tree
    std::string where_;                   // "" for the body, e.g. "filters[1]." inside it
    std::set<std::string> read_;
    std::shared_ptr<std::string> error_;  // shared with nested fields
};

// A JSON object written member by member.
class JsonOut {
public:
    JsonOut();
    JsonOut& Field(const char* name, const std::string& value);
    JsonOut& Field(const char* name, const char* value) { return Field(name, std::string(value)); }
    JsonOut& Field(const char* name, bool value);
    JsonOut& Field(const char* name, long long value);
    JsonOut& Field(const char* name, int value) { return Field(name, static_cast<long long>(value)); }
    JsonOut& Field(const char* name, const std::vector<std::string>& values);
    // The object as compact JSON text.
    std::string Text();

private:
    GObjectPtr<JsonBuilder> builder_;
};

}  // namespace vantrel::shell
