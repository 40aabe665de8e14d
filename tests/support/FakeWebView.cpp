#include "tests/support/FakeWebView.h"

namespace tavrin::testing {

std::optional<std::string> decodeBase64(std::string_view text) {
    auto digit = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    };
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        int d[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                d[k] = 0;
                ++pad;
            } else if (pad > 0 || (d[k] = digit(c)) < 0) {
                return std::nullopt;
            }
        }
        unsigned n = d[0] << 18 | d[1] << 12 | d[2] << 6 | d[3];
        out += static_cast<char>(n >> 16 & 0xff);
        if (pad < 2)
            out += static_cast<char>(n >> 8 & 0xff);
        if (pad < 1)
            out += static_cast<char>(n & 0xff);
    }
    return out;
}

std::optional<PageEvent> decodeEventScript(const std::string& script) {
    auto between = [&](const std::string& open,
                       const std::string& close) -> std::optional<std::string> {
        auto a = script.find(open);
        if (a == std::string::npos)
            return std::nullopt;
        a += open.size();
        auto b = script.find(close, a);
        if (b == std::string::npos)
            return std::nullopt;
        return script.substr(a, b - a);
    };
    auto base64 = between("atob('", "')");
    auto name = between("new CustomEvent('", "'");
    if (!base64 || !name)
        return std::nullopt;
    auto json = decodeBase64(*base64);
    if (!json)
        return std::nullopt;
    auto detail = parseJSON(*json);
    if (!detail)
        return std::nullopt;
    return PageEvent{*name, *detail};
}

std::vector<PageEvent> FakeWebView::events() const {
    std::vector<PageEvent> out;
    for (const auto& s : scripts)
        if (auto e = decodeEventScript(s))
            out.push_back(std::move(*e));
    return out;
}

std::vector<PageEvent> FakeWebView::events(const std::string& name) const {
    std::vector<PageEvent> out;
    for (auto& e : events())
        if (e.name == name)
            out.push_back(std::move(e));
    return out;
}

} // namespace tavrin::testing
