#include "common/ContainerChannel.h"

#include "common/UUID.h"

namespace tavrin {

std::string ContainerChannel::makeRequestIdentifier(std::int64_t counter) {
    return "req-" + std::to_string(counter) + "-" + UUID::random().uuidString().substr(0, 6);
}

Dictionary ContainerChannel::makeCommandMessage(const std::string& command,
                                                const Dictionary& arguments,
                                                const std::string& requestId) {
    Dictionary message = arguments.is_object() ? arguments : Dictionary::object();
    message[kCommandKey] = command;
    message[kRequestIdKey] = requestId;
    return message;
}

Dictionary ContainerChannel::makeResponseMessage(const std::string& requestId,
                                                 const Value& result) {
    return Dictionary{{kRequestIdKey, requestId}, {kResultKey, result}};
}

} // namespace tavrin
