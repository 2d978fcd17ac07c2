// The install record in the store: one value per part.
#include "installer/engine/InstallRecord.h"

#include <cinttypes>
#include <cstdio>
#include <map>
#include <sstream>

#include "base/TextCodec.h"

namespace engine {
namespace {

constexpr PartKind kKinds[] = {PartKind::Queue,   PartKind::Driver, PartKind::Port,   PartKind::Monitor,
                               PartKind::Service, PartKind::File,   PartKind::Folder, PartKind::Key};

// Store keys compare ignoring case; every other part name exactly.
bool SameName(PartKind kind, const std::string& a, const std::string& b) {
    return kind == PartKind::Key ? base::EqualsIgnoreCase(a, b) : a == b;
}

std::string ValueName(const InstallPart& part) { return std::string(PartKindName(part.kind)) + ":" + part.name; }

std::string ValueText(const InstallPart& part) {
    std::string text = part.made ? "made" : "used";
    char buf[96];
    if (part.kind == PartKind::File) {
        std::snprintf(buf, sizeof buf, " %" PRIu64 " %08" PRIx32, part.stamp.size, part.stamp.crc);
        text += buf;
    } else if (part.kind == PartKind::Folder) {
        std::snprintf(buf, sizeof buf, " %" PRIu64 " %" PRIu64, part.folder.dev, part.folder.ino);
        text += buf;
    } else if (part.kind == PartKind::Service) {
        text += " " + part.program;
    }
    return text;
}

// A part from one value; false for a value that is none.
bool ParsePart(const std::string& name, const std::string& text, InstallPart& part) {
    const auto colon = name.find(':');
    if (colon == std::string::npos) return false;
    bool known = false;
    for (PartKind kind : kKinds) {
        if (name.compare(0, colon, PartKindName(kind)) == 0 && std::string_view(PartKindName(kind)).size() == colon) {
            part.kind = kind;
            known = true;
        }
    }
    const std::string word = text.substr(0, text.find(' '));
    if (!known || (word != "made" && word != "used")) return false;
    part.name = name.substr(colon + 1);
    part.made = word == "made";
    const std::string rest = text.size() > 5 ? text.substr(5) : std::string();
    std::istringstream in(rest);
    if (part.kind == PartKind::File) {
        in >> part.stamp.size >> std::hex >> part.stamp.crc;
        return !in.fail();
    }
    if (part.kind == PartKind::Folder) {
        in >> part.folder.dev >> part.folder.ino;
        return !in.fail();
    }
    if (part.kind == PartKind::Service) part.program = rest;
    return true;
}

}  // namespace

const char* PartKindName(PartKind kind) {
    switch (kind) {
    case PartKind::Queue: return "queue";
    case PartKind::Driver: return "driver";
    case PartKind::Port: return "port";
    case PartKind::Monitor: return "monitor";
    case PartKind::Service: return "service";
    case PartKind::File: return "file";
    case PartKind::Folder: return "folder";
    case PartKind::Key: return "key";
    }
    return "?";
}

std::string InstallRecord::Queue() const {
    for (const InstallPart& part : parts)
        if (part.kind == PartKind::Queue) return part.name;
    return {};
}

const InstallPart* InstallRecord::Find(PartKind kind, const std::string& name) const {
    for (const InstallPart& part : parts)
        if (part.kind == kind && SameName(kind, part.name, name)) return &part;
    return nullptr;
}

void AddPart(std::vector<InstallPart>& parts, InstallPart part) {
    for (InstallPart& listed : parts) {
        if (listed.kind != part.kind || !SameName(part.kind, listed.name, part.name)) continue;
        // The maker's knowledge (stamp, program) wins over a user's.
        if (part.made || !listed.made) {
            part.made = part.made || listed.made;
            listed = std::move(part);
        }
        return;
    }
    parts.push_back(std::move(part));
}

bool WritePart(KeyValueStore& store, const std::string& key, const InstallPart& part) {
    return store.SetText(key, ValueName(part), ValueText(part));
}

std::vector<InstallRecord> ReadInstallRecords(KeyValueStore& store) {
    std::vector<InstallRecord> records;
    for (const std::string& sub : store.SubKeys(kInstallsKey).value_or(std::vector<std::string>{})) {
        InstallRecord record;
        record.key = std::string(kInstallsKey) + "\\" + sub;
        const auto values = store.Values(record.key);
        if (!values) continue;
        for (const auto& [name, text] : *values) {
            InstallPart part;
            if (name == "Printer") record.printer = text;
            else if (name == "PrinterName") record.printerName = text;
            else if (name == "Program Directory") record.programFolder = text;
            else if (ParsePart(name, text, part)) record.parts.push_back(std::move(part));
        }
        if (!record.Queue().empty()) records.push_back(std::move(record));
    }
    return records;
}

bool WriteInstallRecord(KeyValueStore& store, InstallRecord record) {
    record.key = std::string(kInstallsKey) + "\\" + record.Queue();
    if (record.Queue().empty()) return false;
    for (const InstallRecord& stale : ReadInstallRecords(store)) {
        if (!base::EqualsIgnoreCase(stale.key, record.key)) continue;
        std::vector<InstallPart> merged;
        for (const InstallPart& part : stale.parts)
            if (part.kind != PartKind::Queue) merged.push_back(part);
        for (InstallPart& part : record.parts) AddPart(merged, std::move(part));
        record.parts = std::move(merged);
    }
    store.DeleteKey(record.key);
    if (!store.CreateKey(record.key)) return false;
    bool ok = store.SetText(record.key, "Printer", record.printer) &&
              store.SetText(record.key, "PrinterName", record.printerName) &&
              store.SetText(record.key, "Program Directory", record.programFolder);
    for (const InstallPart& part : record.parts) ok = WritePart(store, record.key, part) && ok;
    return ok;
}

}  // namespace engine
