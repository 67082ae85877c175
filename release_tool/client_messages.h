#pragma once

#include <string>

// The line a release engineer reads for a failure. A message of the client's own code
// (German, as its error box would show it) becomes an English explanation, led by the
// manifest member it concerns where there is one, with the German text quoted; the
// tool's own messages (English already) stay as they are.
std::string DescribeFailure(const std::string& message);
