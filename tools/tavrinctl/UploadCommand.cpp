// tavrinctl upload: sends one file to the service the way the container app
// sends a finished export, and prints the new video's identifier.

#include "TavrinFCP/UploadManager.h"
#include "tools/tavrinctl/Commands.h"

#include <cstdio>
#include <memory>
#include <string>

namespace tavrin::ctl {

void registerUploadCommands(CLI::App& app, int& exitCode) {
    struct Arguments {
        std::string file;
        std::string name;
        std::string projectId;
        std::string token;
        std::string apiURL = container::UploadManager::defaultAPIURL();
    };
    auto arguments = std::make_shared<Arguments>();

    CLI::App* upload =
        app.add_subcommand("upload", "Upload a file to the service in chunks; print the video id");
    upload->add_option("file", arguments->file, "File to upload")->required();
    upload->add_option("--name", arguments->name, "Video name (sent with \".mp4\" appended)")
        ->required();
    upload->add_option("--project", arguments->projectId, "Project that receives the video")
        ->required();
    upload->add_option("--token", arguments->token, "Bearer token for the service")
        ->required()
        ->envname("TAVRIN_TOKEN");
    upload
        ->add_option("--api", arguments->apiURL,
                     "Service API base URL, scheme and host (default: this build's)")
        ->envname("TAVRIN_API_BASE_URL")
        ->capture_default_str();

    upload->callback([arguments, &exitCode] {
        container::UploadManager manager(arguments->apiURL);
        Result<std::string> videoId = manager.upload(arguments->file, arguments->name,
                                                     arguments->projectId, arguments->token);
        if (!videoId) {
            std::fprintf(stderr, "upload failed: %s\n", videoId.error().message.c_str());
            exitCode = kExitFailure;
            return;
        }
        std::printf("%s\n", videoId.value().c_str());
        exitCode = kExitOK;
    });
}

} // namespace tavrin::ctl
