#include "tools/qorctl/output.h"

#include <algorithm>

namespace qorctl {

std::string Table::Render() const {
    std::vector<size_t> widths;
    for (const auto &row : rows_) {
        if (widths.size() < row.size()) widths.resize(row.size(), 0);
        // A row's last cell is not padded, so it does not widen its column.
        for (size_t i = 0; i + 1 < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    std::string text;
    for (const auto &row : rows_) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        text += line + "\n";
    }
    return text;
}

void Table::Print(std::FILE *out) const {
    std::fputs(Render().c_str(), out);
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default:
            if (byte < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

JsonObject &JsonObject::Raw(std::string_view key, std::string_view json) {
    if (body_.size() > 1) body_ += ',';
    body_ += JsonString(key);
    body_ += ':';
    body_ += json;
    return *this;
}

JsonObject &JsonObject::String(std::string_view key, std::string_view value) {
    return Raw(key, JsonString(value));
}

JsonObject &JsonObject::Number(std::string_view key, long value) {
    return Raw(key, std::to_string(value));
}

JsonObject &JsonObject::Numbers(std::string_view key, const std::vector<long> &values) {
    std::string list = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) list += ',';
        list += std::to_string(values[i]);
    }
    return Raw(key, list + "]");
}

}  // namespace qorctl
