#pragma once
// An in-memory key/value store. Keys are compared ignoring ASCII case, like
// registry keys; CreateKey can be made to fail for chosen keys.
#include <map>
#include <set>
#include <string>

#include "installer/engine/Seams.h"
#include "base/TextCodec.h"

namespace platform_fake {

class MemoryStore : public engine::KeyValueStore {
public:
    struct Less {
        bool operator()(const std::string& a, const std::string& b) const {
            return base::LessIgnoreCase(a, b);
        }
    };
    std::map<std::string, std::map<std::string, std::string, Less>, Less> keys;
    std::set<std::string, Less> failingKeys;

    bool CreateKey(const std::string& key) override {
        if (failingKeys.count(key)) return false;
        // Parents exist with their children.
        for (std::size_t at = key.find('\\'); at != std::string::npos; at = key.find('\\', at + 1))
            keys[key.substr(0, at)];
        keys[key];
        return true;
    }
    bool KeyExists(const std::string& key) override { return keys.count(key) != 0; }
    bool SetText(const std::string& key, const std::string& name, const std::string& value) override {
        auto it = keys.find(key);
        if (it == keys.end()) return false;
        it->second[name] = value;
        return true;
    }
    std::optional<std::string> GetText(const std::string& key, const std::string& name) override {
        auto it = keys.find(key);
        if (it == keys.end()) return std::nullopt;
        auto v = it->second.find(name);
        if (v == it->second.end()) return std::nullopt;
        return v->second;
    }
    bool DeleteValue(const std::string& key, const std::string& name) override {
        auto it = keys.find(key);
        return it != keys.end() && it->second.erase(name) != 0;
    }
    std::optional<std::vector<std::pair<std::string, std::string>>> Values(const std::string& key) override {
        auto it = keys.find(key);
        if (it == keys.end()) return std::nullopt;
        return std::vector<std::pair<std::string, std::string>>(it->second.begin(), it->second.end());
    }
    bool DeleteKey(const std::string& key) override {
        if (!keys.count(key)) return false;
        const std::string prefix = key + "\\";
        std::erase_if(keys, [&](const auto& kv) {
            return base::EqualsIgnoreCase(kv.first, key) ||
                   (kv.first.size() > prefix.size() && base::EqualsIgnoreCase(kv.first.substr(0, prefix.size()), prefix));
        });
        return true;
    }
    std::optional<std::vector<std::string>> SubKeys(const std::string& key) override {
        if (!keys.count(key)) return std::nullopt;
        std::vector<std::string> out;
        const std::string prefix = key + "\\";
        for (const auto& [k, v] : keys) {
            if (k.size() > prefix.size() && base::EqualsIgnoreCase(k.substr(0, prefix.size()), prefix) &&
                k.find('\\', prefix.size()) == std::string::npos)
                out.push_back(k.substr(prefix.size()));
        }
        return out;
    }
};

}  // namespace platform_fake
