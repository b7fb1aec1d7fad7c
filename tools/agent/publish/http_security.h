// Who may reach the agent's HTTP face and how: the bearer token and the TLS
// context, read from the files [http] names, and the rule that a listener
// other machines can reach needs both (or plain HTTP asked for by name).
#pragma once

#include <memory>
#include <string>

#include "tools/agent/config/config.h"

struct ssl_ctx_st;

namespace quillark_agent {

// True when every address `host` resolves to is this machine's own
// (127.0.0.0/8, ::1, ::ffff:127.x.y.z). A name that does not resolve is not.
bool loopback_address(const std::string& host);

struct HttpSecurity {
    std::string token;                // "" for none
    std::shared_ptr<ssl_ctx_st> tls;  // null for plain HTTP
};

// Reads the token and TLS files and refuses a listener beyond loopback without
// a token, or without TLS unless insecure_plain_http; a ConfigError names the
// file, line and column of the key at fault.
std::shared_ptr<const HttpSecurity> load_http_security(const HttpConfig& http);

}  // namespace quillark_agent
