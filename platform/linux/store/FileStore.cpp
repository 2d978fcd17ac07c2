#include "platform/linux/store/FileStore.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <system_error>
#include <unistd.h>

#include "base/TextCodec.h"

namespace platform_linux {
namespace fs = std::filesystem;
namespace {

std::vector<std::string> SplitKey(const std::string& key) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : key) {
        if (c == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

std::string Encode(const std::string& name) {
    if (name == ".") return "%2E";
    if (name == "..") return "%2E%2E";
    std::string out;
    for (char c : name) {
        if (c == '/') out += "%2F";
        else if (c == '%') out += "%25";
        else out += c;
    }
    return out;
}

std::string Decode(const std::string& name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%' && i + 2 < name.size()) {
            const std::string hex = name.substr(i + 1, 2);
            if (hex == "2F") { out += '/'; i += 2; continue; }
            if (hex == "25") { out += '%'; i += 2; continue; }
            if (hex == "2E") { out += '.'; i += 2; continue; }
        }
        out += name[i];
    }
    return out;
}

std::string Escape(const std::string& s, bool name) {
    std::string out;
    for (char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (name && c == '=') out += "\\e";
        else out += c;
    }
    return out;
}

std::string Unescape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            const char n = s[++i];
            out += n == 'n' ? '\n' : n == 'r' ? '\r' : n == 'e' ? '=' : n;
        } else {
            out += s[i];
        }
    }
    return out;
}

using ValueList = std::vector<std::pair<std::string, std::string>>;

ValueList ReadValues(const fs::path& folder) {
    ValueList values;
    std::ifstream in(folder / "values", std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        // The name ends at the first "=" that is not escaped; escaped names never hold a bare "=".
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        values.emplace_back(Unescape(line.substr(0, eq)), Unescape(line.substr(eq + 1)));
    }
    return values;
}

bool WriteValues(const fs::path& folder, const ValueList& values) {
    const fs::path tmp = folder / (".values." + std::to_string(::getpid()));
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        for (const auto& [n, v] : values) out << Escape(n, true) << '=' << Escape(v, false) << '\n';
        if (!out.flush()) return false;
    }
    std::error_code ec;
    fs::rename(tmp, folder / "values", ec);
    return !ec;
}

}  // namespace

std::optional<fs::path> FileStore::Find(const std::string& key, bool create) {
    fs::path at = root_;
    std::error_code ec;
    if (create) fs::create_directories(at, ec);
    for (const std::string& part : SplitKey(key)) {
        const std::string encoded = Encode(part);
        std::optional<fs::path> match;
        for (fs::directory_iterator it(at, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->symlink_status(ec).type() == fs::file_type::directory &&
                base::EqualsIgnoreCase(it->path().filename().string(), encoded)) {
                match = it->path();
                break;
            }
        }
        if (!match) {
            if (!create) return std::nullopt;
            match = at / encoded;
            if (!fs::create_directory(*match, ec) && !fs::is_directory(*match)) return std::nullopt;
        }
        at = *match;
    }
    return at;
}

bool FileStore::CreateKey(const std::string& key) { return Find(key, true).has_value(); }
bool FileStore::KeyExists(const std::string& key) { return Find(key, false).has_value(); }

bool FileStore::SetText(const std::string& key, const std::string& name, const std::string& value) {
    const auto folder = Find(key, false);
    if (!folder) return false;
    ValueList values = ReadValues(*folder);
    bool replaced = false;
    for (auto& [n, v] : values) {
        if (base::EqualsIgnoreCase(n, name)) {
            v = value;
            replaced = true;
            break;
        }
    }
    if (!replaced) values.emplace_back(name, value);
    return WriteValues(*folder, values);
}

std::optional<std::string> FileStore::GetText(const std::string& key, const std::string& name) {
    const auto folder = Find(key, false);
    if (!folder) return std::nullopt;
    for (const auto& [n, v] : ReadValues(*folder))
        if (base::EqualsIgnoreCase(n, name)) return v;
    return std::nullopt;
}

bool FileStore::DeleteValue(const std::string& key, const std::string& name) {
    const auto folder = Find(key, false);
    if (!folder) return false;
    ValueList values = ReadValues(*folder);
    const auto before = values.size();
    std::erase_if(values, [&](const auto& nv) { return base::EqualsIgnoreCase(nv.first, name); });
    return values.size() != before && WriteValues(*folder, values);
}

std::optional<std::vector<std::pair<std::string, std::string>>> FileStore::Values(const std::string& key) {
    const auto folder = Find(key, false);
    if (!folder) return std::nullopt;
    return ReadValues(*folder);
}

bool FileStore::DeleteKey(const std::string& key) {
    const auto folder = Find(key, false);
    // The root itself is no key to delete.
    if (!folder || SplitKey(key).empty()) return false;
    std::error_code ec;
    fs::remove_all(*folder, ec);
    return !ec;
}

std::optional<std::vector<std::string>> FileStore::SubKeys(const std::string& key) {
    const auto folder = Find(key, false);
    if (!folder) return std::nullopt;
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(*folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->symlink_status(ec).type() == fs::file_type::directory)
            names.push_back(Decode(it->path().filename().string()));
    }
    std::sort(names.begin(), names.end(), base::LessIgnoreCase);
    return names;
}

}  // namespace platform_linux
