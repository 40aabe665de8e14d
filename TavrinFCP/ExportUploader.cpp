#include "TavrinFCP/ExportUploader.h"

#include "TavrinFCP/UploadManager.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace tavrin::container {

namespace {

class UploadManagerUploader final : public ExportUploader {
  public:
    explicit UploadManagerUploader(const std::string& apiURL) : manager_(apiURL) {}

    std::optional<std::string> uploadFile(const std::string& path, const std::string& name,
                                          const std::string& projectId, const std::string& token,
                                          std::string* failure) override {
        // The uploader itself says only that it failed; what can be told
        // without it (the file is gone or unreadable) is told here.
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            if (failure)
                *failure = std::string("cannot read the file: ") + std::strerror(errno);
            return std::nullopt;
        }
        auto videoId = manager_.uploadFile(path, name, projectId, token);
        if (!videoId && failure)
            *failure = "the service at " + manager_.apiURL() +
                       " could not be reached or did not accept the upload";
        return videoId;
    }

  private:
    UploadManager manager_;
};

} // namespace

std::shared_ptr<ExportUploader> makeUploadManagerUploader(const std::string& apiURL) {
    return std::make_shared<UploadManagerUploader>(apiURL);
}

} // namespace tavrin::container
