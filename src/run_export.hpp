// A run's record as text: the one-line summary of its options, its CSV and
// the plain-text report for pasting into a ticket. No GTK.
#pragma once

#include <string>

#include "options.hpp"
#include "run_record.hpp"

namespace trellan {

// "TCP · 4 streams · reverse · 10 s", in the form's own terms.
std::string options_summary(const ClientOptions& options);
// A served client's record: the Server page's options, "port 5201 · one-off".
std::string options_summary(const ServerOptions& options);

// Where a client test goes: "127.0.0.1, port 5201".
std::string far_end_of(const ClientOptions& options);

}  // namespace trellan
