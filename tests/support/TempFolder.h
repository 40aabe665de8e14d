#pragma once
// A fresh folder for one test (or benchmark), removed with everything in it
// when the object goes.

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace tavrin::testing {

class TempFolder {
  public:
    // A new folder "<parent>/<stem>-XXXXXX" (parent: $TMPDIR or /tmp).
    explicit TempFolder(const std::string& parent = std::filesystem::temp_directory_path(),
                        const std::string& stem = "tavrin-test") {
        std::string pattern = parent + "/" + stem + "-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed in " + parent);
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    // The path of `name` inside the folder.
    std::filesystem::path operator/(std::string_view name) const {
        return std::filesystem::path(path_) / name;
    }

  private:
    std::string path_;
};

} // namespace tavrin::testing
