#pragma once
// What the export flow needs of the uploader: one call that sends a finished
// export to the service. UploadManager provides it for the program
// (makeUploadManagerUploader); tests substitute their own.

#include <memory>
#include <optional>
#include <string>

namespace tavrin::container {

class ExportUploader {
  public:
    virtual ~ExportUploader() = default;

    // Uploads the file at `path` as a video named `name` into `projectId` with
    // the bearer `token`; returns the new video's identifier, or no value with
    // a one-line reason in *failure. Blocks for the whole upload (call it from
    // a task); calls may run concurrently.
    virtual std::optional<std::string> uploadFile(const std::string& path, const std::string& name,
                                                  const std::string& projectId,
                                                  const std::string& token,
                                                  std::string* failure) = 0;
    // Stops the uploads in progress (they fail soon after) and refuses later
    // ones. Thread-safe; does not wait.
    virtual void cancelAll() {}
};

// Uploads through an UploadManager talking to the service at apiURL.
std::shared_ptr<ExportUploader> makeUploadManagerUploader(const std::string& apiURL);

} // namespace tavrin::container
