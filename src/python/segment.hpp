// The Segment class: one detected segment, seven read-only floats plus the
// computed `angle` and `length`.
#pragma once

#include <Python.h>

#include "detector/detect.hpp"

#include <vector>

namespace linora::py {

// The Segment type object, created on first use and kept for the process.
// Returns nullptr with an exception set if it cannot be created.
PyTypeObject* segment_type();

// A new list holding one Segment object per record, in order.
PyObject* segments_to_list(const std::vector<Segment>& segments);

} // namespace linora::py
