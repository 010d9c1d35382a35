#include "asio_platform/tls_client_context.h"

#include <asio/ip/address.hpp>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace tarselctl {

namespace {

/// Index of the SSL object's pointer to its connection's TlsSessionSlot.
int SlotIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

/// Called by OpenSSL for every session the server hands out, after the handshake as well
/// (TLS 1.3 tickets): the newest one replaces the one before.
int KeepNewSession(SSL* ssl, SSL_SESSION* session) {
    auto* slot = static_cast<TlsSessionSlot*>(SSL_get_ex_data(ssl, SlotIndex()));
    if (slot == nullptr) return 0;
    *slot = TlsSessionSlot(session, SSL_SESSION_free);
    return 1;  // the slot owns the reference OpenSSL gave
}

/// A numeric address without the brackets a URL would put around an IPv6 one.
std::string Unbracketed(const std::string& name) {
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        return name.substr(1, name.size() - 2);
    return name;
}

}  // namespace

TlsClientContext::TlsClientContext(const TlsClientSettings& settings)
    : settings_(settings), context_(asio::ssl::context::tls_client) {}

std::shared_ptr<TlsClientContext> TlsClientContext::Make(const TlsClientSettings& settings,
                                                         std::string& error) {
    auto made = std::make_shared<TlsClientContext>(settings);
    SSL_CTX* ctx = made->context_.native_handle();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // The client cache only feeds the new-session hook; sessions live in the connections.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, KeepNewSession);
    asio::error_code ec;
    if (settings.verify) {
        made->context_.set_verify_mode(asio::ssl::verify_peer, ec);
        if (settings.caFile.empty()) {
            made->context_.set_default_verify_paths(ec);
            if (ec) error = "cannot use the system's CA store: " + ec.message();
        } else {
            made->context_.load_verify_file(settings.caFile, ec);
            if (ec) error = "cannot read the CA file " + settings.caFile + ": " + ec.message();
        }
    } else {
        made->context_.set_verify_mode(asio::ssl::verify_none, ec);
    }
    if (!error.empty()) return nullptr;
    return made;
}

bool TlsClientContext::SameSettings(const TlsClientSettings& other) const {
    return settings_.verify == other.verify && settings_.caFile == other.caFile &&
           settings_.serverName == other.serverName;
}

void TlsClientContext::Prepare(SSL* ssl, TlsSessionSlot* slot, SSL_SESSION* resume) const {
    SSL_set_ex_data(ssl, SlotIndex(), slot);
    if (resume != nullptr) {
        // OpenSSL spends a TLS 1.3 session it resumes (marks it not resumable), but every data
        // connection of a control connection must resume the same one: each gets a copy.
        SSL_SESSION* copy = SSL_SESSION_dup(resume);
        if (copy != nullptr) {
            SSL_set_session(ssl, copy);
            SSL_SESSION_free(copy);  // the SSL object holds its own reference
        }
    }
    const std::string name = Unbracketed(settings_.serverName);
    if (name.empty()) return;
    asio::error_code ec;
    asio::ip::make_address(name, ec);
    const bool numeric = !ec;
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (numeric) {
        // Server name indication carries host names only, never addresses.
        if (settings_.verify) X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
        return;
    }
    SSL_set_tlsext_host_name(ssl, name.c_str());
    if (settings_.verify) {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size());
    }
}

TlsSessionSlot TlsClientContext::NewestSession(SSL* ssl, const TlsSessionSlot& slot) {
    if (slot) return slot;
    SSL_SESSION* held = SSL_get1_session(ssl);
    return held ? TlsSessionSlot(held, SSL_SESSION_free) : nullptr;
}

}  // namespace tarselctl
