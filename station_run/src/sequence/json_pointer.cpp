#include "json_pointer.h"

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>
#include <vector>

namespace {

// The tokens of a valid JSON pointer, unescaped.
std::vector<std::string> pointer_tokens(const std::string& pointer) {
    std::vector<std::string> tokens;
    for (std::size_t at = 0; at < pointer.size();) {
        const std::size_t next = std::min(pointer.find('/', at + 1), pointer.size());
        std::string token;
        for (std::size_t i = at + 1; i < next; ++i) {
            if (pointer[i] == '~') {
                token += pointer[++i] == '0' ? '~' : '/';
            } else {
                token += pointer[i];
            }
        }
        tokens.push_back(std::move(token));
        at = next;
    }
    return tokens;
}

// Follows the parser's events, and keeps the value found where the pointer
// points (the last one, where a key is given twice).
class PointerSax : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit PointerSax(std::vector<std::string> tokens) : tokens_(std::move(tokens)) {}

    PointerValue found;

    bool null() override { return scalar(PointerValue::null, 0); }
    bool boolean(bool) override { return scalar(PointerValue::not_number, 0); }
    bool number_integer(number_integer_t v) override {
        return scalar(PointerValue::number, static_cast<double>(v));
    }
    bool number_unsigned(number_unsigned_t v) override {
        return scalar(PointerValue::number, static_cast<double>(v));
    }
    bool number_float(number_float_t v, const string_t&) override {
        return scalar(PointerValue::number, v);
    }
    bool string(string_t&) override { return scalar(PointerValue::not_number, 0); }
    bool binary(binary_t&) override { return scalar(PointerValue::not_number, 0); }
    bool start_object(std::size_t) override { return open(false); }
    bool key(string_t& k) override {
        frames_.back().key = k;
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(true); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    struct Frame {
        bool array;
        std::size_t index = 0;  // of the element being read
        std::string key;
    };

    // The value that begins now lies where the pointer points.
    bool here() const {
        if (frames_.size() != tokens_.size()) return false;
        for (std::size_t i = 0; i < frames_.size(); ++i) {
            const Frame& f = frames_[i];
            if (!f.array) {
                if (f.key != tokens_[i]) return false;
                continue;
            }
            const std::string& t = tokens_[i];
            std::size_t index = 0;
            const auto [end, error] = std::from_chars(t.data(), t.data() + t.size(), index);
            // Digits only, no leading zero: anything else names no element.
            if (t.empty() || error != std::errc() || end != t.data() + t.size() ||
                (t.size() > 1 && t[0] == '0') || index != f.index) {
                return false;
            }
        }
        return true;
    }
    void element_done() {
        if (!frames_.empty() && frames_.back().array) ++frames_.back().index;
    }
    bool scalar(PointerValue::Kind kind, double value) {
        if (here()) found = {kind, value};
        element_done();
        return true;
    }
    bool open(bool array) {
        if (here()) found = {PointerValue::not_number, 0};
        frames_.push_back({array, 0, {}});
        return true;
    }
    bool close() {
        frames_.pop_back();
        element_done();
        return true;
    }

    std::vector<std::string> tokens_;
    std::vector<Frame> frames_;
};

}  // namespace

PointerValue json_pointer_value(std::string_view json, const std::string& pointer) {
    if (!valid_json_pointer(pointer)) return {PointerValue::absent, 0};
    PointerSax sax(pointer_tokens(pointer));
    try {
        if (!nlohmann::json::sax_parse(json.begin(), json.end(), &sax)) return {};
    } catch (const std::exception&) {
        return {};  // the parser's own limits, such as memory
    }
    if (sax.found.kind == PointerValue::no_json) sax.found.kind = PointerValue::absent;
    return sax.found;
}

bool valid_json_pointer(const std::string& pointer) {
    if (!pointer.empty() && pointer[0] != '/') return false;
    for (std::size_t i = 0; i < pointer.size(); ++i) {
        if (pointer[i] == '~' &&
            (i + 1 == pointer.size() || (pointer[i + 1] != '0' && pointer[i + 1] != '1'))) {
            return false;
        }
    }
    return true;
}
