#include "TavrinFCP/MarkerAutomation.h"

namespace tavrin::container {

namespace {

class AppleScriptAutomation final : public MarkerAutomation {
  public:
    explicit AppleScriptAutomation(AppleScriptBridge::Options options)
        : bridge_(std::move(options)) {}

    bool syncComment(const Dictionary& comment) override { return bridge_.syncComment(comment); }
    bool deleteComment(const std::string& commentId) override {
        return bridge_.deleteComment(commentId);
    }
    bool syncAllComments(const std::vector<Dictionary>& comments) override {
        return bridge_.syncAllComments(comments);
    }
    bool clearAllMarkers() override { return bridge_.clearAllMarkers(); }
    std::optional<Dictionary> getMarkerAtTime(double seconds, double threshold) override {
        return bridge_.getMarkerAtTime(seconds, threshold);
    }

  private:
    AppleScriptBridge bridge_;
};

} // namespace

std::shared_ptr<MarkerAutomation> makeAppleScriptAutomation(AppleScriptBridge::Options options) {
    return std::make_shared<AppleScriptAutomation>(std::move(options));
}

} // namespace tavrin::container
