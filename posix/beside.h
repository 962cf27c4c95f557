#pragma once

// The one owner of a file or folder made beside its target under a temporary
// name and renamed into place once finished: the name and its lock (temp.h),
// its removal should a signal end the program (term.h), the flush, the
// rename, and its removal when the work fails.

#include <filesystem>
#include <string>

// A temporary ".NAME.TAG-XXXXXX" beside a target, locked and named to the
// signal handlers for as long as it lives. Unless committed or kept, it is
// removed when it goes.
struct beside {
    // Sweeps what killed runs left beside target under tag, then makes the
    // temporary file, or with folder a folder; made() tells whether it worked.
    beside(const std::filesystem::path& target, const std::string& tag, bool folder = false);

    // Removes what is still there under the temporary name, unless kept.
    ~beside();

    beside(const beside&) = delete;
    beside& operator=(const beside&) = delete;

    // True while the temporary file or folder is ours under its name.
    bool made() const { return held >= 0; }

    // Why it could not be made: the errno, or 0.
    int error() const { return err; }

    // The open, locked descriptor of the file (or of the folder).
    int fd() const { return held; }

    // The temporary name.
    const std::string& name() const { return path; }

    // Writes a file's data through to disk: 0, or the errno. A folder has
    // nothing to flush.
    int flush();

    // Flushes a file, renames it (or the folder) over the target and lets it
    // go: 0, or the errno, with it still there under the temporary name.
    int commit();

    // Takes the file fd stands for, locked by the caller and found at from,
    // in place of the empty one made: it moves to the temporary name and is
    // removed by a signal as the made one would be. The descriptor is ours
    // either way; false when the file could not be moved.
    bool adopt(int fd, const std::string& from);

    // Flushes the file and moves it to the name as, only when nothing has
    // that name, and lets it go: 0, or the errno (EEXIST when as is taken),
    // with it still there under the temporary name.
    int keep(const std::string& as);

  private:
    std::filesystem::path target;
    std::string path;
    bool folder;
    int held = -1;
    int err = 0;
    bool flushed = false;
    void let_go();
};

// Renames from to to only when nothing has the name to, in one step where
// the file system can: a file or folder already there, perhaps another
// run's, is never replaced. 0, or the errno (EEXIST when to is taken).
int rename_new(const std::string& from, const std::string& to);
