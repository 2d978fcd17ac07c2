// Removing one install: its queue, then what it made that no other install
// lists, then its record. Files and folders are reached by the walk of
// SafeFs.h (no link followed where users can write) and deleted only while
// they are still what the install made.
#include <algorithm>
#include <cerrno>

#include "installer/engine/Engine.h"
#include "installer/engine/InstallRecord.h"
#include "base/TextCodec.h"

namespace engine {
namespace fs = std::filesystem;
namespace {

int OpenParent(const fs::path& path, base::Dir& dir) {
    return base::OpenFolder(path.parent_path(), false, dir);
}

// Whether a file or folder part is still what the install made: a file of
// ours with the contents written, or the very folder made.
bool StillMade(const InstallPart& part) {
    const fs::path path(part.name);
    base::Dir dir, folder;
    if (OpenParent(path, dir) != 0) return false;
    if (part.kind == PartKind::File) return base::StampOf(dir, path.filename().string()) == part.stamp;
    return base::OpenSubFolder(dir, path.filename().string(), false, folder) == 0 &&
           base::IdOf(folder) == part.folder;
}

PartOutcome Outcome(const InstallPart& part, PartFate fate, std::uint32_t error = 0) {
    return {part.kind, part.name, fate, {}, error};
}

PartOutcome FromSpooler(const InstallPart& part, std::uint32_t error, std::uint32_t unknown) {
    if (error == kOk) return Outcome(part, PartFate::Removed);
    if (error == unknown) return Outcome(part, PartFate::Gone);
    return Outcome(part, error == kErrorMonitorInUse ? PartFate::InUse : PartFate::Failed, error);
}

PartOutcome FromErrno(const InstallPart& part, int error) {
    switch (error) {
    case 0: return Outcome(part, PartFate::Removed);
    case ENOENT: return Outcome(part, PartFate::Gone);
    case ESTALE:
    case ELOOP:    // a link stands where a folder was: not followed
    case ENOTDIR: return Outcome(part, PartFate::Changed);
    case ENOTEMPTY: return Outcome(part, PartFate::InUse);
    default: return Outcome(part, PartFate::Failed, static_cast<std::uint32_t>(error));
    }
}

PartOutcome Remove(Platform& platform, const InstallPart& part) {
    switch (part.kind) {
    case PartKind::Queue: return FromSpooler(part, platform.spooler.DeletePrinter(part.name), kErrorInvalidPrinterName);
    case PartKind::Driver:
        return FromSpooler(part, platform.spooler.DeletePrinterDriver(part.name), kErrorUnknownPrinterDriver);
    case PartKind::Port: return FromSpooler(part, platform.spooler.DeletePort(part.name), kErrorUnknownPort);
    case PartKind::Monitor: return FromSpooler(part, platform.spooler.DeleteMonitor(part.name), kErrorUnknownMonitor);
    case PartKind::Service:
        return Outcome(part, platform.services.Remove(part.name) ? PartFate::Removed : PartFate::Gone);
    case PartKind::Key: {
        KeyValueStore& store = platform.store;
        const auto subKeys = store.SubKeys(part.name);
        if (!subKeys) return Outcome(part, PartFate::Gone);
        if (subKeys->empty()) return Outcome(part, store.DeleteKey(part.name) ? PartFate::Removed : PartFate::Failed);
        // Another printer's key lives below this one ("SOFTWARE\A\B" below
        // "SOFTWARE\A"): only the values go.
        for (const auto& value : store.Values(part.name).value_or(std::vector<std::pair<std::string, std::string>>{}))
            store.DeleteValue(part.name, value.first);
        return Outcome(part, PartFate::Removed);
    }
    case PartKind::File:
    case PartKind::Folder: {
        const fs::path path(part.name);
        base::Dir dir;
        int error = OpenParent(path, dir);
        if (error == 0) {
            const std::string name = path.filename().string();
            error = part.kind == PartKind::File ? base::RemoveIfStamped(dir, name, part.stamp)
                                                : base::RemoveFolderIfSame(dir, name, part.folder);
        }
        return FromErrno(part, error);
    }
    }
    return Outcome(part, PartFate::Failed);
}

// A part that the install going made passes to the installs that still list
// it: a file or folder only while it is still the one made, a service with a
// program that stays (re-pointed at a remaining install's program when its
// own goes now).
void HandOver(Platform& platform, InstallPart part, const std::vector<InstallRecord*>& sharers,
              const std::vector<InstallRecord>& remaining) {
    if ((part.kind == PartKind::File || part.kind == PartKind::Folder) && !StillMade(part)) return;
    if (part.kind == PartKind::Service) {
        const bool programStays = std::any_of(remaining.begin(), remaining.end(), [&](const InstallRecord& r) {
            return r.Find(PartKind::File, part.program) != nullptr;
        });
        const fs::path theirs = ServiceProgram(sharers.front()->programFolder);
        if (!programStays && theirs.string() != part.program) {
            platform.services.Remove(part.name);
            CreateService(platform.services, theirs);
            part.program = theirs.string();
        }
    }
    part.made = true;
    for (InstallRecord* sharer : sharers) {
        WritePart(platform.store, sharer->key, part);
        AddPart(sharer->parts, part);
    }
}

}  // namespace

void RollBackFailedInstall(InstallRun& run) {
    const std::vector<InstallRecord> others = ReadInstallRecords(run.platform.store);
    auto listed = [&](PartKind kind, const std::string& name) {
        return std::any_of(others.begin(), others.end(),
                           [&](const InstallRecord& r) { return r.Find(kind, name) != nullptr; });
    };
    auto logged = [&](const std::string& what, const PartOutcome& outcome) {
        const char* fate = outcome.fate == PartFate::Removed ? "removed"
                           : outcome.fate == PartFate::Gone  ? nullptr
                                                             : "kept";
        if (fate)
            run.log.Append("**** Failed install, %s %s %s\r\n", fate, what.c_str(),
                           payload::EscapeName(outcome.name).c_str());
    };
    // The extraction's files, each while it is still the very file written.
    if (run.programDir && !run.extracted.written.empty()) {
        int removed = 0;
        for (const payload::WrittenFile& file : run.extracted.written) {
            const fs::path path = fs::path(run.settings.programFolder) / file.relative;
            if (!listed(PartKind::File, path.string()) && base::RemoveIfSame(run.programDir, file.relative, file.id))
                ++removed;
        }
        run.log.Append("**** Failed install, removed %d files it had extracted into %s\r\n", removed,
                       payload::EscapeName(run.settings.programFolder).c_str());
    }
    std::vector<InstallPart> parts;
    for (const InstallPart& part : run.parts) {
        if (!part.made || listed(part.kind, part.name)) continue;
        if (part.kind == PartKind::File &&
            std::find(run.replacedFiles.begin(), run.replacedFiles.end(), part.name) != run.replacedFiles.end())
            continue;
        parts.push_back(part);
    }
    // The queue first, folders deepest first after the files in them.
    std::stable_sort(parts.begin(), parts.end(), [](const InstallPart& a, const InstallPart& b) {
        if (a.kind != b.kind) return a.kind < b.kind;
        return a.kind == PartKind::Folder && a.name.size() > b.name.size();
    });
    // The program folder is closed first, so that it can go.
    run.programDir.Reset();
    for (const InstallPart& part : parts) logged(PartKindName(part.kind), Remove(run.platform, part));
    run.parts.clear();
}

UninstallResult Uninstall(Platform platform, const std::string& name) {
    UninstallResult result;
    std::vector<InstallRecord> records = ReadInstallRecords(platform.store);
    // The printer's name as added, or its queue (which the spooler names
    // without regard to case).
    auto it = std::find_if(records.begin(), records.end(),
                           [&](const InstallRecord& r) { return r.printer == name || r.Queue() == name; });
    if (it == records.end()) {
        it = std::find_if(records.begin(), records.end(),
                          [&](const InstallRecord& r) { return base::EqualsIgnoreCase(r.Queue(), name); });
    }
    if (it == records.end()) return result;
    result.install = std::move(*it);
    records.erase(it);
    const InstallRecord& target = result.install;

    // The queue first: while the spooler cannot delete it nothing else goes,
    // and the record stays for another try.
    const InstallPart queue{PartKind::Queue, target.Queue(), true, {}, {}, {}};
    const PartOutcome removed = Remove(platform, queue);
    if (removed.fate == PartFate::Failed) {
        result.status = removed.error == kErrorSpoolerUnavailable ? UninstallStatus::SpoolerUnreachable
                                                                  : UninstallStatus::SpoolerRefused;
        result.spoolerError = removed.error;
        return result;
    }
    result.parts.push_back(removed);

    std::vector<InstallPart> parts;
    for (const InstallPart& part : target.parts)
        if (part.kind != PartKind::Queue) parts.push_back(part);
    // By kind in removal order; folders deepest first, after the files in them.
    std::stable_sort(parts.begin(), parts.end(), [](const InstallPart& a, const InstallPart& b) {
        if (a.kind != b.kind) return a.kind < b.kind;
        return a.kind == PartKind::Folder && a.name.size() > b.name.size();
    });
    for (const InstallPart& part : parts) {
        std::vector<InstallRecord*> sharers;
        for (InstallRecord& other : records)
            if (other.Find(part.kind, part.name)) sharers.push_back(&other);
        if (!sharers.empty()) {
            if (part.made) HandOver(platform, part, sharers, records);
            PartOutcome shared = Outcome(part, PartFate::Shared);
            shared.sharedWith = sharers.front()->printer;
            result.parts.push_back(shared);
        } else {
            result.parts.push_back(part.made ? Remove(platform, part) : Outcome(part, PartFate::NotMade));
        }
    }
    platform.store.DeleteKey(target.key);
    result.status = UninstallStatus::Done;
    return result;
}

}  // namespace engine
