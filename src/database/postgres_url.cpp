// postgresql:// URLs: quorvel's parameters taken out, the password hidden
// from messages. The same on every platform.
#include "database/postgres.h"

#include <algorithm>

namespace {

const std::string_view PREFIXES[] = {"postgresql://", "postgres://"};

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// %XX decoded, as libpq decodes the URL's parts; 0 for a broken %.
int percent_decoded(std::string_view text, std::string &decoded)
{
    decoded.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return 0;
        const int high = hex_digit(text[i + 1]), low = hex_digit(text[i + 2]);
        if (high < 0 || low < 0)
            return 0;
        decoded += char(high * 16 + low);
        i += 2;
    }
    return 1;
}

DatabaseError bad_url(const std::string &why)
{
    return DatabaseError{DATABASE_BAD_URL, why};
}

// The URL with the password of its user part and of password= replaced.
std::string hidden_password(std::string_view text, size_t scheme_end)
{
    std::string shown(text);
    const size_t authority_end = std::min(shown.find_first_of("/?", scheme_end), shown.size());
    const size_t at = shown.rfind('@', authority_end == shown.size() ? std::string::npos : authority_end);
    if (at != std::string::npos && at >= scheme_end) {
        const size_t colon = shown.find(':', scheme_end);
        if (colon < at)
            shown.replace(colon + 1, at - colon - 1, "***");
    }
    const size_t query = shown.find('?');
    for (size_t at_key = query; at_key != std::string::npos; at_key = shown.find('&', at_key + 1)) {
        if (shown.compare(at_key + 1, 9, "password=") == 0) {
            const size_t value = at_key + 10;
            const size_t end = std::min(shown.find('&', value), shown.size());
            shown.replace(value, end - value, "***");
        }
    }
    return shown;
}

}  // namespace

int is_database_url(std::string_view text)
{
    for (std::string_view prefix : PREFIXES)
        if (text.substr(0, prefix.size()) == prefix)
            return 1;
    return 0;
}

DatabaseError database_url_parse(std::string_view text, const char *needs, DatabaseUrl &url)
{
    url = DatabaseUrl{};
    size_t scheme_end = 0;
    for (std::string_view prefix : PREFIXES)
        if (text.substr(0, prefix.size()) == prefix)
            scheme_end = prefix.size();
    url.shown = hidden_password(text, scheme_end);
    if (scheme_end == 0)
        return bad_url("not a PostgreSQL URL (postgresql://USER@HOST/DATABASE?...)");

    const size_t query = text.find('?');
    url.conninfo = std::string(text.substr(0, query));
    std::string kept;  // libpq's parameters, as written
    bool timeout_given = false;
    std::string_view rest = query == std::string_view::npos ? std::string_view() : text.substr(query + 1);
    while (!rest.empty()) {
        const size_t end = std::min(rest.find('&'), rest.size());
        const std::string_view parameter = rest.substr(0, end);
        rest = rest.substr(std::min(end + 1, rest.size()));
        const size_t equals = parameter.find('=');
        const std::string name(parameter.substr(0, equals));
        std::string *ours = name == "sequence" ? &url.sequence : name == "table" ? &url.table : nullptr;
        if (!ours) {
            if (!parameter.empty())
                (kept += kept.empty() ? "" : "&") += std::string(parameter);
            timeout_given |= name == "connect_timeout";
            continue;
        }
        if (!needs || name != needs)
            return bad_url(name + "= has no use here" + (needs ? " (give " + std::string(needs) + "=NAME)" : std::string()));
        if (!ours->empty())
            return bad_url(name + "= is given twice");
        if (equals == std::string_view::npos || !percent_decoded(parameter.substr(equals + 1), *ours) ||
            ours->empty())
            return bad_url(name + "= is empty or broken (give " + name + "=NAME)");
    }
    if (needs && (std::string(needs) == "sequence" ? url.sequence : url.table).empty())
        return bad_url("the URL names no " + std::string(needs) + " (add ?" + needs + "=NAME)");
    // libpq waits for as long as the network does; a station says so within 10 s.
    if (!timeout_given)
        (kept += kept.empty() ? "" : "&") += "connect_timeout=10";
    url.conninfo += "?" + kept;
    return DatabaseError{};
}
