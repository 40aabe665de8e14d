#pragma once
// Helpers on comment and marker records (string-keyed dictionaries whose
// "id" names the comment; a missing or non-string "id" counts as "").

#include "common/Value.h"

#include <string_view>
#include <vector>

namespace tavrin {

// The records whose "id" differs from `id`, in their order: what a change keeps
// of the markers on the timeline before it puts the comment's own in place.
inline std::vector<Dictionary> withoutRecordsOfId(std::vector<Dictionary> records,
                                                  std::string_view id) {
    std::erase_if(records, [&](const Dictionary& record) {
        return stringFor(record, "id").value_or("") == id;
    });
    return records;
}

} // namespace tavrin
