// Received-file storage. A reader of the destination directory must never see a partial or a
// replaced .ECG: the bytes go to an exclusively created .TMP, are flushed, and only then take
// the .ECG name through a rename that refuses an existing target; the directory is flushed last.
// Every failure removes what it left behind and keeps the file-stored flag false.
#include "csi/file_storage.h"

#include "csi/csi_config.h"
#include "logging/log.h"
#include "platform/durable_file.h"
#include "platform/fs.h"
#include "tools/misc_tools.h"

namespace {

const char* const kSource = "csi_task_interface";

std::function<std::string()>& NameSource() {
    static std::function<std::string()> source;
    return source;
}

std::string NextBaseName() {
    if (NameSource())
        return NameSource()();
    return CCommonMiscTools::UniqueFileName(false);
}

// Writes and flushes the .TMP; on failure it is removed again.
bool WriteTemporary(const std::string& tmpPath, const uint8_t* data, size_t length) {
    platform::DurableFile file;
    if (!platform::DurableCreateExclusive(tmpPath, &file)) {
        LogFormat(kSource, LOG_ERROR, "Unable to write file \"%s\".", tmpPath.c_str());
        return false;
    }
    const bool written = platform::DurableWriteAll(&file, data, length);
    // A failed flush is never retried: the pages may already be gone, so the file starts over.
    const bool flushed = written && platform::DurableFlush(&file);
    const bool closed = platform::DurableClose(&file);
    if (written && flushed && closed)
        return true;
    LogFormat(kSource, LOG_ERROR, "Unable to write file \"%s\".", tmpPath.c_str());
    platform::DurableDelete(tmpPath);
    return false;
}

} // namespace

void SetStorageNameSourceForTests(std::function<std::string()> source) {
    NameSource() = std::move(source);
}

void StoreFile(const uint8_t* data, size_t length) {
    csi_set_file_stored(false);

    const char* destination = csi_get_destination();
    if (!destination) {
        LogMessage(kSource,
                   "File could not be written because destination directory has not been set.",
                   LOG_ERROR);
        return;
    }
    const std::string directory = destination;
    if (!CCommonMiscTools::CreateDirectoryPath(directory)) {
        LogFormat(kSource, LOG_ERROR,
                  "Unable to create directory \"%s\". Received files won't be stored / confirmed.",
                  directory.c_str());
        return;
    }

    const char separator = platform::PathSeparator();
    std::string prefix = directory;
    if (prefix.empty() || prefix.back() != separator)
        prefix += separator;

    std::string tmpPath;
    std::string ecgPath;
    do {
        const std::string base = NextBaseName();
        tmpPath = prefix + base + ".TMP";
        ecgPath = prefix + base + ".ECG";
        // Skipping names whose .ECG exists as well keeps the no-replace rename from failing.
    } while (CCommonMiscTools::FileExists(tmpPath) || CCommonMiscTools::FileExists(ecgPath));

    if (!data || length == 0)
        return;

    if (!WriteTemporary(tmpPath, data, length))
        return;

    if (!platform::DurableRenameNoReplace(tmpPath, ecgPath)) {
        LogFormat(kSource, LOG_ERROR, "Unable to rename file \"%s\" to \"%s\".", tmpPath.c_str(),
                  ecgPath.c_str());
        platform::DurableDelete(tmpPath);
        return;
    }
    if (!platform::DurableSyncDirectory(prefix)) {
        // The name may not survive a power loss: refuse the file so the device sends it again,
        // and remove it so that the resend does not leave a duplicate.
        LogFormat(kSource, LOG_ERROR, "Unable to flush directory \"%s\".", directory.c_str());
        platform::DurableDelete(ecgPath);
        return;
    }

    csi_set_file_stored(true);
    LogFormat(kSource, LOG_INFORMATION, "File \"%s\" successfully stored.", ecgPath.c_str());
}
