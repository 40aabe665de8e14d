#pragma once
// A file event stream for tests: the factory records every stream it makes,
// and the test delivers batches by hand (on its own thread, as the main queue).

#include "common/FileEventStream.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tavrin::testing {

class FakeFileEventStreams {
  public:
    // What one stream was made with and what happened to it. Outlives the
    // stream, so a test can deliver a late batch from a stream already gone.
    struct Record {
        FileEventStreamOptions options;
        FileEventStream::Callback callback;
        bool started = false;
        bool stopped = false;
        bool destroyed = false;

        void deliver(const std::vector<std::pair<std::string, FileEventFlags>>& events) const {
            std::vector<std::string> paths;
            std::vector<FileEventFlags> flags;
            for (const auto& [path, flag] : events) {
                paths.push_back(path);
                flags.push_back(flag);
            }
            callback(events.size(), paths, flags);
        }
    };

    // Make the next streams fail to start.
    bool failStart = false;
    std::vector<std::shared_ptr<Record>> records;

    FileEventStreamFactory factory() {
        return [this](const FileEventStreamOptions& options, MainQueue&,
                      FileEventStream::Callback callback) -> std::unique_ptr<FileEventStream> {
            auto record = std::make_shared<Record>();
            record->options = options;
            record->callback = std::move(callback);
            records.push_back(record);
            return std::make_unique<Stream>(record, failStart);
        };
    }

    const Record& last() const { return *records.back(); }

  private:
    class Stream final : public FileEventStream {
      public:
        Stream(std::shared_ptr<Record> record, bool fail)
            : record_(std::move(record)), fail_(fail) {}
        ~Stream() override { record_->destroyed = true; }
        bool start() override {
            record_->started = !fail_;
            return !fail_;
        }
        void stop() override { record_->stopped = true; }

      private:
        std::shared_ptr<Record> record_;
        bool fail_;
    };
};

} // namespace tavrin::testing
