#include "tools/agent/publish/http_security.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <fstream>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace quillark_agent {
namespace {

// Copied out rather than cast: a sockaddr need not be aligned for the
// larger structures (32-bit ARM says so).
bool loopback(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        sockaddr_in in{};
        std::memcpy(&in, address, sizeof in);
        return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, address, sizeof in6);
        const in6_addr& a = in6.sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
        return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
    }
    return false;
}

[[noreturn]] void refuse(const HttpConfig& http, const std::string& key, const std::string& what) {
    const auto at = http.where.find(key);
    const std::string place = at != http.where.end() ? at->second + ": " : std::string();
    throw ConfigError(place + "[http]: " + what);
}

std::string read_token(const HttpConfig& http) {
    std::ifstream in(http.token_file, std::ios::binary);
    std::string token;
    if (!in || !std::getline(in, token))
        refuse(http, "token_file", "token_file " + http.token_file + ": cannot read the file");
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) token.pop_back();
    if (token.empty())
        refuse(http, "token_file", "token_file " + http.token_file + ": the first line is empty");
    return token;
}

std::string openssl_says() {
    const unsigned long code = ERR_peek_last_error();
    char text[256] = "";
    if (code != 0) ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return code != 0 ? std::string(" (") + text + ")" : std::string();
}

void readable(const HttpConfig& http, const std::string& key, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char byte = 0;
    if (!in || !in.get(byte)) refuse(http, key, key + " " + path + ": cannot read the file");
}

// The server's context: TLS 1.2 at least, no renegotiation, the chain and its
// key, and with a client CA a certificate from every client.
std::shared_ptr<ssl_ctx_st> make_tls(const HttpConfig& http) {
    const std::pair<const char*, const std::string*> files[] = {
        {"cert_file", &http.cert_file},
        {"key_file", &http.key_file},
        {"client_ca_file", &http.client_ca_file}};
    for (const auto& [key, path] : files)
        if (!path->empty()) readable(http, key, *path);
    std::shared_ptr<ssl_ctx_st> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!ctx) throw std::runtime_error("http: OpenSSL cannot make a TLS context" + openssl_says());
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_mode(ctx.get(),
                     SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), http.cert_file.c_str()) != 1)
        refuse(http, "cert_file",
               "cert_file " + http.cert_file + ": no PEM certificate in it" + openssl_says());
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), http.key_file.c_str(), SSL_FILETYPE_PEM) != 1)
        refuse(http, "key_file",
               "key_file " + http.key_file + ": no PEM private key in it" + openssl_says());
    if (SSL_CTX_check_private_key(ctx.get()) != 1)
        refuse(http, "key_file",
               "key_file " + http.key_file + ": not the key of cert_file " + http.cert_file +
                   openssl_says());
    if (!http.client_ca_file.empty()) {
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(http.client_ca_file.c_str());
        if (names == nullptr ||
            SSL_CTX_load_verify_locations(ctx.get(), http.client_ca_file.c_str(), nullptr) != 1) {
            if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
            refuse(http, "client_ca_file",
                   "client_ca_file " + http.client_ca_file + ": no PEM certificate in it" +
                       openssl_says());
        }
        SSL_CTX_set_client_CA_list(ctx.get(), names);
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    return ctx;
}

}  // namespace

bool loopback_address(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
    bool all = true;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) all = all && loopback(a->ai_addr);
    freeaddrinfo(found);
    return all;
}

std::shared_ptr<const HttpSecurity> load_http_security(const HttpConfig& http) {
    const bool tls = !http.cert_file.empty() || !http.key_file.empty();
    if (http.cert_file.empty() != http.key_file.empty())
        refuse(http, tls && http.cert_file.empty() ? "key_file" : "cert_file",
               "cert_file and key_file go together");
    if (!http.client_ca_file.empty() && !tls)
        refuse(http, "client_ca_file", "client_ca_file needs cert_file and key_file");
    if (tls && http.insecure_plain_http)
        refuse(http, "insecure_plain_http", "insecure_plain_http and cert_file exclude each other");
    if (!loopback_address(http.host)) {
        if (http.token_file.empty())
            refuse(http, "listen",
                   "listening on " + http.host +
                       " reaches beyond this machine and needs a token_file");
        if (!tls && !http.insecure_plain_http)
            refuse(http, "listen",
                   "listening on " + http.host +
                       " reaches beyond this machine and needs cert_file and key_file "
                       "(TLS), or insecure_plain_http = true");
    }
    auto security = std::make_shared<HttpSecurity>();
    if (!http.token_file.empty()) security->token = read_token(http);
    if (tls) security->tls = make_tls(http);
    return security;
}

}  // namespace quillark_agent
