// Plain-text tables and JSON lines for qorctl's results.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace qorctl {

// Columns padded to their widest cell, two spaces apart; the last column
// is not padded.
class Table {
public:
    explicit Table(std::vector<std::string> header) { rows_.push_back(std::move(header)); }
    void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    std::string Render() const;
    void Print(std::FILE *out) const;

private:
    std::vector<std::vector<std::string>> rows_;
};

// A JSON string literal, quotes included.
std::string JsonString(std::string_view text);

// One JSON object built field by field: {"a":1,"b":"x"}.
class JsonObject {
public:
    JsonObject &Raw(std::string_view key, std::string_view json);
    JsonObject &String(std::string_view key, std::string_view value);
    JsonObject &Number(std::string_view key, long value);
    JsonObject &Numbers(std::string_view key, const std::vector<long> &values);
    std::string Text() const { return body_ + "}"; }

private:
    std::string body_ = "{";
};

}  // namespace qorctl
