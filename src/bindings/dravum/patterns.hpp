// Text-pattern predicates shared by the message and signal queries.
#pragma once

#include "common.hpp"

namespace korvel::dravum {

py::list lolist(py::object strOrList);  // utils.cpp

// Any pattern a substring of the lower-cased name, or of the lower-cased
// comment when there is one; patterns in order, name before comment.
bool name_or_comment_contains(py::handle record, const py::list& patterns);

// Any pattern a substring of the lower-cased "|"-joined node list.
bool nodes_contain(py::handle nodes, const py::list& patterns);

// `text` contains `pattern`, as the `in` operator answers it.
bool contains(py::handle text, py::handle pattern);

}  // namespace korvel::dravum
