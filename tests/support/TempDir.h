#pragma once
#include <string>

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Whole-file helpers for tests; both abort the test binary on I/O failure.
std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &bytes);
