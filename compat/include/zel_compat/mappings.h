// Test seam: where named file-mapping sections live.
//
// A named section of CreateFileMappingA is a POSIX shared-memory object, so another process
// that links the layer (a tool, a test's child) finds it by the same name, as processes of one
// session do on Windows. Object names belong to a namespace: $ZEL_OBJECT_NAMESPACE when that is
// set, else "zel-<user id>", until SetObjectNamespace names another. Tests give themselves a
// namespace of their own so that parallel runs do not meet in one section. Only tests, the
// simulator and tools include this header; the driver never does.
#pragma once

#include <cstddef>
#include <string>

namespace zelcompat {

// Makes `name` the namespace of named sections (an empty string: the default). Affects later
// creates and opens only. The name must not contain '/'.
void SetObjectNamespace(const std::string& name);

// The namespace in use.
std::string ObjectNamespace();

// The number of views mapped by MapViewOfFile and not yet unmapped, in this process; lets a test
// prove that a sequence of calls leaves none behind.
std::size_t MappedViewCount();

}  // namespace zelcompat
