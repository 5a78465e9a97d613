#include "HTTPRequest.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>

#include "Log.h"

namespace {

std::atomic<long> connect_ms{HTTPTimeouts{}.connect_ms};
std::atomic<long> stall_seconds{HTTPTimeouts{}.stall_seconds};

struct Transfer {
    CURL *handle;
    HTTPResponse *response;
    bool sized;
};

// No exception may cross libcurl's C frames; a short count makes libcurl fail the transfer.
size_t _rcv_data(char *data, size_t size, size_t count, void *user) noexcept {
    auto *transfer = static_cast<Transfer *>(user);
    size_t bytes = size * count;
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", static_cast<int>(size),
             static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(user)),
             static_cast<int>(bytes < 100 ? bytes : 100), data);
    try {
        if (!transfer->sized) {
            // Size the body once from Content-Length so a large image is not copied
            // through repeated regrowth (which would double the peak memory).
            transfer->sized = true;
            curl_off_t expected = -1;
            if (curl_easy_getinfo(transfer->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected) == CURLE_OK &&
                expected > 0 && expected < (curl_off_t{1} << 32))
                transfer->response->reserve(static_cast<size_t>(expected));
        }
        transfer->response->process(data, bytes);
    } catch (...) {
        return 0;
    }
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(bytes));
    return bytes;
}

void _global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct HandleGuard {
    CURL *handle;
    ~HandleGuard() { curl_easy_cleanup(handle); }
};

} // namespace

HTTPResponse::HTTPResponse(const char *request_url) : request(request_url ? request_url : "") {}

std::string HTTPRequest::BuildURL(const char *base_url, const ParameterMap &parameters) {
    std::string url = base_url ? base_url : "";
    if (!parameters.empty())
        url += '?';
    for (const auto &[key, value] : parameters) {
        url += key;
        url += '=';
        url += value;
        url += '&';
    }
    return url;
}

HTTPResponse HTTPRequest::GET(const char *base_url, ParameterMap &parameters) {
    _global_init();
    CURL *handle = curl_easy_init();
    HandleGuard guard{handle}; // before anything that may throw; cleanup accepts null
    std::string url = BuildURL(base_url, parameters);
    HTTPResponse response(url.c_str());
    if (handle == nullptr)
        throw std::runtime_error("Could not create curl instance");
    Transfer transfer{handle, &response, false};

    CURLcode rc = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
        if (rc == CURLE_OK)
            rc = curl_easy_setopt(handle, option, value);
    };
    set(CURLOPT_WRITEFUNCTION, &_rcv_data);
    set(CURLOPT_WRITEDATA, static_cast<void *>(&transfer));
    set(CURLOPT_URL, url.c_str());
    // Firmware comes over this connection: an https server must prove who it is.
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYSTATUS, 0L);
    set(CURLOPT_CONNECTTIMEOUT_MS, connect_ms.load());
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, stall_seconds.load());
    // Time-outs must not use signals: the download runs on a worker thread.
    set(CURLOPT_NOSIGNAL, 1L);

    Log::log(DEBUG_ServerComm, "GET(%s)\n", url.c_str());
    if (rc == CURLE_OK)
        rc = curl_easy_perform(handle);
    long status = 0;
    if (rc == CURLE_OK)
        rc = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (rc != CURLE_OK)
        throw std::runtime_error(curl_easy_strerror(rc));
    response.set_status(status);
    return response;
}

void HTTPRequest::SetTimeouts(const HTTPTimeouts &timeouts) {
    connect_ms.store(timeouts.connect_ms);
    stall_seconds.store(timeouts.stall_seconds);
}

HTTPTimeouts HTTPRequest::Timeouts() { return HTTPTimeouts{connect_ms.load(), stall_seconds.load()}; }
