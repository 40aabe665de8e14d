#include "TavrinFCP/ExportUploader.h"

#include "TavrinFCP/UploadManager.h"

namespace tavrin::container {

namespace {

class UploadManagerUploader final : public ExportUploader {
  public:
    explicit UploadManagerUploader(const std::string& apiURL)
        : cancelled_(std::make_shared<std::atomic<bool>>(false)),
          manager_(apiURL, optionsCancelledBy(cancelled_)) {}

    void cancelAll() override { cancelled_->store(true); }

    std::optional<std::string> uploadFile(const std::string& path, const std::string& name,
                                          const std::string& projectId, const std::string& token,
                                          std::string* failure) override {
        auto result = manager_.upload(path, name, projectId, token);
        if (!result) {
            if (failure)
                *failure = result.error().message;
            return std::nullopt;
        }
        return result.value();
    }

  private:
    static UploadManager::Options optionsCancelledBy(std::shared_ptr<std::atomic<bool>> flag) {
        UploadManager::Options options;
        options.cancelled = std::move(flag);
        return options;
    }

    std::shared_ptr<std::atomic<bool>> cancelled_;
    UploadManager manager_;
};

} // namespace

std::shared_ptr<ExportUploader> makeUploadManagerUploader(const std::string& apiURL) {
    return std::make_shared<UploadManagerUploader>(apiURL);
}

} // namespace tavrin::container
