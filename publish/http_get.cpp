#include "publish/http_get.h"

#include <curl/curl.h>

#include <cctype>
#include <memory>
#include <stdexcept>

#include "publish/release_folder.h"

namespace {

constexpr long MaxRedirects = 10;
constexpr long ConnectSeconds = 30;
constexpr long SlowBytesPerSecond = 1024, SlowSeconds = 60;

struct Transfer {
    HttpReply reply;
    size_t keepBytes = 0;
    Sha256 digest;
};

size_t TakeBody(char* data, size_t size, size_t count, void* context) {
    Transfer& transfer = *static_cast<Transfer*>(context);
    const size_t bytes = size * count;
    transfer.digest.Add(data, bytes);
    if (transfer.reply.body.size() < transfer.keepBytes) {
        transfer.reply.body.append(
            data, std::min(bytes, transfer.keepBytes - transfer.reply.body.size()));
    }
    transfer.reply.size += bytes;
    return bytes;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

size_t TakeHeader(char* data, size_t size, size_t count, void* context) {
    Transfer& transfer = *static_cast<Transfer*>(context);
    const std::string line(data, size * count);
    // A status line starts the headers of another reply (after a redirect).
    if (line.rfind("HTTP/", 0) == 0) transfer.reply.headers.clear();
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        transfer.reply.headers[name] = Trim(line.substr(colon + 1));
    }
    return size * count;
}

}  // namespace

HttpReply HttpGet(const std::string& url, const std::string& caFile, size_t keepBytes) {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(ready ? curl_easy_init() : nullptr,
                                                             &curl_easy_cleanup);
    if (!curl) throw std::runtime_error("The HTTPS client cannot start");
    Transfer transfer;
    transfer.keepBytes = keepBytes;
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, MaxRedirects);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, ConnectSeconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, SlowBytesPerSecond);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, SlowSeconds);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, "tessik-publish");
    if (!caFile.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &TakeBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &TakeHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
    const CURLcode result = curl_easy_perform(handle);
    if (result != CURLE_OK) {
        throw std::runtime_error(url + " cannot be fetched (" + curl_easy_strerror(result) + ")");
    }
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &transfer.reply.status);
    transfer.reply.sha256 = transfer.digest.FinishHex();
    return transfer.reply;
}
