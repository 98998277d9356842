#include "shell/model/native_json.hpp"

#include <cmath>

namespace vantrel::shell {

std::optional<JsonFields> JsonFields::Parse(std::string_view text, std::string& error) {
    auto parser = std::shared_ptr<JsonParser>(json_parser_new(), [](JsonParser* p) { g_object_unref(p); });
    auto no_error = std::make_shared<std::string>();
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        // No body at all: the empty object. The parser still owns a tree for it.
        json_parser_load_from_data(parser.get(), "{}", 2, nullptr);
    } else {
        GError* failure = nullptr;
        if (!json_parser_load_from_data(parser.get(), text.data(), static_cast<gssize>(text.size()), &failure)) {
            error = std::string("the body is not JSON: ") + (failure ? failure->message : "unreadable");
            g_clear_error(&failure);
            return std::nullopt;
        }
    }
    JsonNode* root = json_parser_get_root(parser.get());
    if (root == nullptr || !JSON_NODE_HOLDS_OBJECT(root)) {
        error = "the body must be a JSON object";
        return std::nullopt;
    }
    return JsonFields(parser, json_node_get_object(root), "", no_error);
}

JsonFields::JsonFields(std::shared_ptr<JsonParser> parser, JsonObject* object, std::string where,
                       std::shared_ptr<std::string> error)
    : parser_(std::move(parser)), object_(object), where_(std::move(where)), error_(std::move(error)) {}

std::string JsonFields::Named(const char* name) const { return "\"" + where_ + name + "\""; }

void JsonFields::Fail(const std::string& message) {
    if (error_->empty()) *error_ = message;
}

JsonNode* JsonFields::Member(const char* name, bool required) {
    read_.insert(name);
    if (!ok()) return nullptr;
    JsonNode* node = json_object_get_member(object_, name);
    // A member given as null counts as left out.
    if (node != nullptr && JSON_NODE_HOLDS_NULL(node)) node = nullptr;
    if (node == nullptr && required) Fail(Named(name) + " is missing");
    return node;
}

std::optional<std::string> JsonFields::Text(const char* name, bool required) {
    JsonNode* node = Member(name, required);
    if (node == nullptr) return std::nullopt;
    if (!JSON_NODE_HOLDS_VALUE(node) || json_node_get_value_type(node) != G_TYPE_STRING) {
        Fail(Named(name) + " must be a text");
        return std::nullopt;
    }
    return std::string(json_node_get_string(node));
}

std::optional<bool> JsonFields::Boolean(const char* name, bool required) {
    JsonNode* node = Member(name, required);
    if (node == nullptr) return std::nullopt;
    if (!JSON_NODE_HOLDS_VALUE(node) || json_node_get_value_type(node) != G_TYPE_BOOLEAN) {
        Fail(Named(name) + " must be true or false");
        return std::nullopt;
    }
    return json_node_get_boolean(node) != FALSE;
}

std::optional<long long> JsonFields::Integer(const char* name, long long min, long long max, bool required) {
    JsonNode* node = Member(name, required);
    if (node == nullptr) return std::nullopt;
    const std::string range = " must be a whole number from " + std::to_string(min) + " to " + std::to_string(max);
    if (!JSON_NODE_HOLDS_VALUE(node)) {
        Fail(Named(name) + range);
        return std::nullopt;
    }
    GType type = json_node_get_value_type(node);
    double value = 0;
    if (type == G_TYPE_INT64) {
        value = static_cast<double>(json_node_get_int(node));
    } else if (type == G_TYPE_DOUBLE) {
        value = json_node_get_double(node);
    } else {
        Fail(Named(name) + range);
        return std::nullopt;
    }
    if (!std::isfinite(value) || value != std::floor(value) || value < static_cast<double>(min) ||
        value > static_cast<double>(max)) {
        Fail(Named(name) + range);
        return std::nullopt;
    }
    return static_cast<long long>(value);
}

std::optional<std::vector<std::string>> JsonFields::Texts(const char* name, bool required) {
    JsonNode* node = Member(name, required);
    if (node == nullptr) return std::nullopt;
    if (!JSON_NODE_HOLDS_ARRAY(node)) {
        Fail(Named(name) + " must be an array of texts");
        return std::nullopt;
    }
    JsonArray* array = json_node_get_array(node);
    std::vector<std::string> texts;
    for (guint i = 0, n = json_array_get_length(array); i < n; ++i) {
        JsonNode* element = json_array_get_element(array, i);
        if (!JSON_NODE_HOLDS_VALUE(element) || json_node_get_value_type(element) != G_TYPE_STRING) {
            Fail(Named(name) + " must be an array of texts");
            return std::nullopt;
        }
        texts.emplace_back(json_node_get_string(element));
    }
    return texts;
}

std::optional<std::vector<JsonFields>> JsonFields::Objects(const char* name) {
    JsonNode* node = Member(name, false);
    if (node == nullptr) return std::nullopt;
    if (!JSON_NODE_HOLDS_ARRAY(node)) {
        Fail(Named(name) + " must be an array of objects");
        return std::nullopt;
    }
    JsonArray* array = json_node_get_array(node);
    std::vector<JsonFields> objects;
    for (guint i = 0, n = json_array_get_length(array); i < n; ++i) {
        JsonNode* element = json_array_get_element(array, i);
        if (!JSON_NODE_HOLDS_OBJECT(element)) {
            Fail(Named(name) + " must be an array of objects");
            return std::nullopt;
        }
        objects.push_back(JsonFields(parser_, json_node_get_object(element),
                                     where_ + name + "[" + std::to_string(i) + "].", error_));
    }
    return objects;
}

bool JsonFields::Finish() {
    if (!ok()) return false;
    GList* names = json_object_get_members(object_);
    for (GList* n = names; n != nullptr; n = n->next) {
        const char* member = static_cast<const char*>(n->data);
        if (read_.count(member) == 0) {
            Fail("unknown field " + Named(member));
            break;
        }
    }
    g_list_free(names);
    return ok();
}

namespace {

// Texts that are not UTF-8 (a file name, say) get U+FFFD for each bad byte,
// so that the reply is still JSON.
void add_text(JsonBuilder* builder, const std::string& value) {
    gchar* valid = g_utf8_make_valid(value.data(), static_cast<gssize>(value.size()));
    json_builder_add_string_value(builder, valid);
    g_free(valid);
}

}  // namespace

JsonOut::JsonOut() : builder_(json_builder_new()) { json_builder_begin_object(builder_.get()); }

JsonOut& JsonOut::Field(const char* name, const std::string& value) {
    json_builder_set_member_name(builder_.get(), name);
    add_text(builder_.get(), value);
    return *this;
}

JsonOut& JsonOut::Field(const char* name, bool value) {
    json_builder_set_member_name(builder_.get(), name);
    json_builder_add_boolean_value(builder_.get(), value);
    return *this;
}

JsonOut& JsonOut::Field(const char* name, long long value) {
    json_builder_set_member_name(builder_.get(), name);
    json_builder_add_int_value(builder_.get(), value);
    return *this;
}

JsonOut& JsonOut::Field(const char* name, const std::vector<std::string>& values) {
    json_builder_set_member_name(builder_.get(), name);
    json_builder_begin_array(builder_.get());
    for (const std::string& v : values) add_text(builder_.get(), v);
    json_builder_end_array(builder_.get());
    return *this;
}

std::string JsonOut::Text() {
    json_builder_end_object(builder_.get());
    JsonNode* root = json_builder_get_root(builder_.get());
    GObjectPtr<JsonGenerator> generator(json_generator_new());
    json_generator_set_root(generator.get(), root);
    gchar* data = json_generator_to_data(generator.get(), nullptr);
    std::string text = data ? data : "{}";
    g_free(data);
    json_node_unref(root);
    // A finished object cannot take more members: start a fresh one.
    json_builder_reset(builder_.get());
    json_builder_begin_object(builder_.get());
    return text;
}

}  // namespace vantrel::shell
