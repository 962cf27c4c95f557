#pragma once

// Test helpers that put things back: a temporary folder, standard input read
// from given bytes, and the bytes written to fd 1 or fd 2 during a block.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <stdio_ext.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace scratch_detail {

// An unnamed temporary file holding text, or an empty one.
inline std::FILE* temp_file(std::string_view text = {}) {
    std::FILE* f = std::tmpfile();
    if (!f) throw std::runtime_error("tmpfile failed");
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), f) != text.size())
        throw std::runtime_error("tmpfile write failed");
    std::fflush(f);
    std::rewind(f);
    return f;
}

} // namespace scratch_detail

// The whole content of a file; empty when it cannot be read.
inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Creates or replaces a file holding text.
inline void write_file(const std::filesystem::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

// A folder of its own under the system's temporary folder, removed with all
// it holds when the object goes; enter() makes it current until then.
class scratch {
  public:
    scratch() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vellomar-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        // The canonical form, so that it compares equal to what getcwd gives.
        root_ = std::filesystem::canonical(tmpl);
    }
    ~scratch() {
        std::error_code ec;
        if (!previous_.empty()) std::filesystem::current_path(previous_, ec);
        std::filesystem::remove_all(root_, ec);
    }
    scratch(const scratch&) = delete;
    scratch& operator=(const scratch&) = delete;

    // Makes the folder current; the one current before comes back at the end.
    void enter() {
        if (previous_.empty()) previous_ = std::filesystem::current_path();
        std::filesystem::current_path(root_);
    }

    // The folder's full path.
    const std::filesystem::path& path() const { return root_; }

    // A path below the folder.
    std::filesystem::path operator/(const std::filesystem::path& rest) const {
        return root_ / rest;
    }

  private:
    std::filesystem::path root_, previous_;
};

// Standard input (fd 0 and the C stream stdin) reads the given bytes while
// the object lives.
class feed_stdin {
  public:
    explicit feed_stdin(std::string_view text) : saved_(dup(STDIN_FILENO)) {
        std::FILE* f = scratch_detail::temp_file(text);
        dup2(fileno(f), STDIN_FILENO);
        std::fclose(f);
        __fpurge(stdin);
        std::clearerr(stdin);
    }
    ~feed_stdin() {
        __fpurge(stdin);
        std::clearerr(stdin);
        if (saved_ >= 0) {
            dup2(saved_, STDIN_FILENO);
            close(saved_);
        } else {
            close(STDIN_FILENO);
        }
    }
    feed_stdin(const feed_stdin&) = delete;
    feed_stdin& operator=(const feed_stdin&) = delete;

  private:
    int saved_;
};

// Everything written to fd (1 or 2) while the object lives goes to a
// temporary file instead; text() gives the bytes written so far.
class capture {
  public:
    explicit capture(int fd) : fd_(fd) {
        flush();
        file_ = scratch_detail::temp_file();
        saved_ = dup(fd_);
        dup2(fileno(file_), fd_);
    }
    ~capture() {
        flush();
        dup2(saved_, fd_);
        close(saved_);
        std::fclose(file_);
    }
    capture(const capture&) = delete;
    capture& operator=(const capture&) = delete;

    // The bytes that reached the file descriptor, read without flushing any
    // C stream, so that only what was really written counts.
    std::string text() const {
        std::string out;
        char buf[4096];
        off_t at = 0;
        ssize_t n;
        while ((n = pread(fileno(file_), buf, sizeof buf, at)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0) {
                out.append(buf, static_cast<size_t>(n));
                at += n;
            }
        return out;
    }

  private:
    void flush() const { std::fflush(fd_ == STDERR_FILENO ? stderr : stdout); }

    int fd_;
    int saved_ = -1;
    std::FILE* file_ = nullptr;
};
