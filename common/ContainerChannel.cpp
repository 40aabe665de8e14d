#include "common/ContainerChannel.h"

#include "common/UUID.h"

namespace tavrin {

std::string ContainerChannel::makeRequestIdentifier(std::int64_t counter) {
    return "req-" + std::to_string(counter) + "-" + UUID::random().uuidString().substr(0, 6);
}

Dictionary ContainerChannel::makeCommandMessage(const std::string& command, Dictionary arguments,
                                                const std::string& requestId) {
    // Taken by value: a caller done with its arguments moves them in.
    Dictionary message = arguments.is_object() ? std::move(arguments) : Dictionary::object();
    message[kCommandKey] = command;
    message[kRequestIdKey] = requestId;
    return message;
}

Dictionary ContainerChannel::makeResponseMessage(const std::string& requestId,
                                                 const Value& result) {
    Dictionary message = Dictionary::object();
    message.emplace(kRequestIdKey, requestId);
    message.emplace(kResultKey, result);
    return message;
}

} // namespace tavrin
