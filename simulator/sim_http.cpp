// The HTTP side of the simulator: one request per connection.

#include "sim_http.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sim
{

namespace
{

using clock_type = std::chrono::steady_clock;

constexpr size_t head_max = 16384;       // request line and headers
constexpr size_t target_max = 8192;      // request target
constexpr size_t header_count_max = 100; // header lines
constexpr size_t chunk_line_max = 1024;  // size line of a chunk, trailer lines
constexpr size_t receive_piece = 65536;  // bytes asked for per receive
constexpr auto linger_time = std::chrono::milliseconds(2000);

bool iequals(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return tolower(static_cast<unsigned char>(x)) ==
                      tolower(static_cast<unsigned char>(y));
           });
}

bool is_tchar(char c)
{
    return isalnum(static_cast<unsigned char>(c)) || strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool is_token(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), is_tchar);
}

std::string_view trim_blanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Control characters other than tab have no place in a header value.
bool is_field_value(std::string_view text)
{
    return std::none_of(text.begin(), text.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && u != '\t') || u == 0x7F;
    });
}

// The text of a request value for the log, cut and with controls replaced.
std::string printable(std::string_view text)
{
    std::string out;
    for (char c : text.substr(0, 80))
        out += isprint(static_cast<unsigned char>(c)) ? c : '?';
    if (text.size() > 80)
        out += "...";
    return out;
}

std::optional<std::string> base64_decode(std::string_view in)
{
    while (!in.empty() && in.back() == '=' && in.size() % 4 != 1)
        in.remove_suffix(1);
    if (in.size() % 4 == 1)
        return std::nullopt;
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (char c : in) {
        size_t v = alphabet.find(c);
        if (v == std::string_view::npos)
            return std::nullopt;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

std::string http_date()
{
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    char text[64];
    strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    return text;
}

// ---------------------------------------------------------------------------
// The socket, under a deadline

class connection
{
  public:
    connection(int fd, int abort_fd) : fd_(fd), abort_fd_(abort_fd) {}
    ~connection() { close(fd_); }
    connection(const connection &) = delete;
    connection &operator=(const connection &) = delete;

    void deadline_in(std::chrono::milliseconds span) { deadline_ = clock_type::now() + span; }

    // Append what arrives (at most max bytes) to buffer: the count, 0 at the
    // end of the stream, -1 on failure, time-out or stop (see why()).
    ssize_t receive(std::string &buffer, size_t max)
    {
        while (true) {
            size_t old = buffer.size();
            buffer.resize(old + max);
            ssize_t n = recv(fd_, buffer.data() + old, max, MSG_DONTWAIT);
            buffer.resize(old + static_cast<size_t>(std::max<ssize_t>(n, 0)));
            if (n >= 0)
                return n;
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return fail(errno);
            if (!wait(POLLIN))
                return -1;
        }
    }

    bool send_all(std::string_view data)
    {
        while (!data.empty()) {
            ssize_t n = send(fd_, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                data.remove_prefix(static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return fail(errno) == 0;
            if (!wait(POLLOUT))
                return false;
        }
        return true;
    }

    // End the exchange so that the peer reads the whole reply: no more
    // sending, then take in (and drop) whatever it still sends, for a short
    // while, before closing. Closing with unread input would reset the
    // connection and could destroy a reply the peer has not read yet.
    void finish()
    {
        shutdown(fd_, SHUT_WR);
        deadline_in(std::chrono::duration_cast<std::chrono::milliseconds>(linger_time));
        std::string sink;
        while (receive(sink, receive_piece) > 0)
            sink.clear();
    }

    bool timed_out() const { return timed_out_; }
    const std::string &why() const { return why_; }

  private:
    ssize_t fail(int error)
    {
        why_ = strerror(error);
        return -1;
    }

    bool wait(short events)
    {
        while (true) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ -
                                                                              clock_type::now());
            if (left.count() <= 0) {
                timed_out_ = true;
                why_ = "timed out";
                return false;
            }
            pollfd fds[2] = {{fd_, events, 0}, {abort_fd_, POLLIN, 0}};
            int rc = poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 60000)));
            if (rc < 0 && errno != EINTR)
                return fail(errno) == 0;
            if (rc > 0 && fds[1].revents) {
                why_ = "server stopping";
                return false;
            }
            if (rc > 0 && fds[0].revents)
                return true;
        }
    }

    int fd_;
    int abort_fd_;
    clock_type::time_point deadline_ = clock_type::now();
    bool timed_out_ = false;
    std::string why_;
};

// ---------------------------------------------------------------------------
// One request and its answer

class exchange
{
  public:
    exchange(int fd, int abort_fd, const http_settings &settings, const http_handler &handler)
        : conn_(fd, abort_fd), settings_(settings), handler_(handler)
    {
    }

    std::string run()
    {
        conn_.deadline_in(settings_.timeout);
        if (read_head() && check_request() && read_body())
            answer();
        conn_.finish();
        return log_;
    }

  private:
    // Send an answer without a result document; always false, so that
    // callers can return it to end the exchange.
    bool refuse(int status, const std::string &detail, const std::string &extra_headers = "")
    {
        std::string body = std::to_string(status) + " " + http_reason(status) + "\n";
        log_.clear();
        deliver(status, "text/plain; charset=utf-8", body, extra_headers);
        log_ = "HTTP " + std::to_string(status) + " (" + detail + ")" + log_;
        return false;
    }

    // End without an answer; always false.
    bool drop(const std::string &why)
    {
        log_ = "dropped (" + why + ")";
        return false;
    }

    // A failed read: time-outs are answered, everything else dropped.
    bool read_failed(const std::string &what)
    {
        if (conn_.timed_out())
            return refuse(408, "timed out reading the " + what);
        return drop(conn_.why() + " while reading the " + what);
    }

    void deliver(int status, const char *content_type, std::string_view body,
                 const std::string &extra_headers)
    {
        std::string reply = "HTTP/1.1 " + std::to_string(status) + " " + http_reason(status) +
                            "\r\nDate: " + http_date() + "\r\nServer: corapi-sim\r\n" +
                            extra_headers + "Content-Type: " + content_type +
                            "\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\nConnection: close\r\n\r\n";
        reply += body;
        conn_.deadline_in(settings_.timeout);
        if (!conn_.send_all(reply))
            log_ += "; reply not delivered: " + conn_.why();
    }

    // Position after the blank line that ends the head, or npos.
    size_t head_end(size_t from) const
    {
        for (size_t at = buffer_.find('\n', from); at != std::string::npos;
             at = buffer_.find('\n', at + 1)) {
            if (at + 1 < buffer_.size() && buffer_[at + 1] == '\n')
                return at + 2;
            if (at + 2 < buffer_.size() && buffer_[at + 1] == '\r' && buffer_[at + 2] == '\n')
                return at + 3;
        }
        return std::string::npos;
    }

    bool read_head()
    {
        size_t scanned = 0;
        while (true) {
            // Empty lines before the request line are passed over.
            while (!buffer_.empty() && (buffer_[0] == '\r' || buffer_[0] == '\n'))
                buffer_.erase(0, 1);
            size_t end = head_end(scanned);
            if (end != std::string::npos && end > head_max)
                return refuse(431, "request head over " + std::to_string(head_max) + " bytes");
            if (end != std::string::npos) {
                int status = http_parse_head(std::string_view(buffer_).substr(0, end), head_);
                body_start_ = end;
                if (status != 0)
                    return refuse(status, "malformed request head: " +
                                              printable(buffer_.substr(0, buffer_.find('\n'))));
                return true;
            }
            if (buffer_.size() > head_max)
                return refuse(431, "request head over " + std::to_string(head_max) + " bytes");
            scanned = buffer_.size() >= 2 ? buffer_.size() - 2 : 0;
            ssize_t n = conn_.receive(buffer_, receive_piece);
            if (n == 0)
                return drop(buffer_.empty() ? "closed without a request"
                                            : "request head cut short");
            if (n < 0)
                return read_failed("request head");
        }
    }

    bool check_auth()
    {
        const std::string basic_challenge = "WWW-Authenticate: Basic realm=\"corapi-sim\"\r\n";
        bool several = false;
        const std::string *value = head_.find("Authorization", &several);
        if (!value || several)
            return refuse(401, value ? "several Authorization headers" : "no credentials",
                          basic_challenge);
        auto credentials = http_basic_credentials(*value);
        if (!credentials)
            return refuse(401, "not Basic credentials", basic_challenge);
        if (credentials->first != settings_.user || credentials->second != settings_.password)
            return refuse(401, "wrong user or password for user " + printable(credentials->first),
                          basic_challenge);
        return true;
    }

    bool check_framing()
    {
        bool several_te = false, several_cl = false;
        const std::string *te = head_.find("Transfer-Encoding", &several_te);
        const std::string *cl = head_.find("Content-Length", &several_cl);
        if (te) {
            if (cl)
                return refuse(400, "both Content-Length and Transfer-Encoding");
            if (several_te || !iequals(*te, "chunked"))
                return refuse(501, "transfer coding " + printable(*te) + " not supported");
            chunked_ = true;
            return true;
        }
        if (!cl)
            return refuse(411, "no Content-Length");
        if (several_cl)
            return refuse(400, "several Content-Length headers");
        auto [end, ec] = std::from_chars(cl->data(), cl->data() + cl->size(), length_);
        if (cl->empty() || end != cl->data() + cl->size() ||
            !isdigit(static_cast<unsigned char>(cl->front())))
            return refuse(400, "bad Content-Length " + printable(*cl));
        if (ec == std::errc::result_out_of_range || length_ > settings_.max_body)
            return refuse(413, "body of " + printable(*cl) + " bytes over the limit of " +
                                   std::to_string(settings_.max_body));
        if (ec != std::errc())
            return refuse(400, "bad Content-Length " + printable(*cl));
        return true;
    }

    bool check_request()
    {
        const auto &paths = settings_.paths;
        if (std::find(paths.begin(), paths.end(), head_.path) == paths.end())
            return refuse(404, "no endpoint at " + printable(head_.target));
        if (head_.method != "POST")
            return refuse(405, "method " + printable(head_.method), "Allow: POST\r\n");
        if (head_.minor_version >= 1 && !head_.find("Host"))
            return refuse(400, "no Host header");
        if (!check_auth() || !check_framing())
            return false;
        if (const std::string *expect = head_.find("Expect")) {
            if (!iequals(*expect, "100-continue"))
                return refuse(417, "expectation " + printable(*expect));
            // Everything that could refuse the request has been checked:
            // the client may send the body.
            conn_.deadline_in(settings_.timeout);
            if (head_.minor_version >= 1 && !conn_.send_all("HTTP/1.1 100 Continue\r\n\r\n"))
                return drop(conn_.why() + " while sending 100 Continue");
        }
        return true;
    }

    // Make sure the buffer holds at least n bytes from the read position.
    bool need(size_t n, const char *what)
    {
        while (buffer_.size() - position_ < n) {
            // The consumed part is not kept, so many small chunks cannot pile up.
            buffer_.erase(0, position_);
            position_ = 0;
            ssize_t n_read = conn_.receive(buffer_, receive_piece);
            if (n_read == 0)
                return drop(std::string("request cut short in the ") + what);
            if (n_read < 0)
                return read_failed(what);
        }
        return true;
    }

    // One line of the chunked framing, without its line end.
    bool chunk_line(std::string &line)
    {
        size_t end;
        while ((end = buffer_.find('\n', position_)) == std::string::npos) {
            if (buffer_.size() - position_ > chunk_line_max)
                return refuse(400, "chunk line too long");
            if (!need(buffer_.size() - position_ + 1, "chunked body"))
                return false;
        }
        line = buffer_.substr(position_, end - position_);
        position_ = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        return true;
    }

    bool read_chunked_body()
    {
        std::string line;
        while (true) {
            if (!chunk_line(line))
                return false;
            std::string_view size_text =
                trim_blanks(std::string_view(line).substr(0, line.find(';')));
            size_t size = 0;
            auto [end, ec] =
                std::from_chars(size_text.data(), size_text.data() + size_text.size(), size, 16);
            if (size_text.empty() || end != size_text.data() + size_text.size() ||
                (ec != std::errc() && ec != std::errc::result_out_of_range))
                return refuse(400, "bad chunk size " + printable(line));
            if (ec == std::errc::result_out_of_range || size > settings_.max_body - body_.size())
                return refuse(413, "chunked body over the limit of " +
                                       std::to_string(settings_.max_body));
            if (size == 0)
                break;
            if (!need(size + 1, "chunked body"))
                return false;
            body_.append(buffer_, position_, size);
            position_ += size;
            if (!chunk_line(line))
                return false;
            if (!line.empty())
                return refuse(400, "chunk not followed by a line end");
        }
        // Trailer lines up to the blank line are read and ignored.
        do {
            if (!chunk_line(line))
                return false;
        } while (!line.empty());
        return true;
    }

    bool read_body()
    {
        position_ = body_start_;
        if (chunked_)
            return read_chunked_body();
        if (!need(length_, "request body"))
            return false;
        buffer_.erase(0, position_);
        buffer_.resize(length_);
        body_ = std::move(buffer_);
        return true;
    }

    void answer()
    {
        buffer_.clear();
        buffer_.shrink_to_fit();
        http_answer a = handler_(body_);
        log_ = a.summary;
        if (a.status == 200)
            deliver(200, "text/xml; charset=utf-8", a.body, "");
        else
            refuse(a.status, a.summary);
    }

    connection conn_;
    const http_settings &settings_;
    const http_handler &handler_;
    std::string buffer_;    // bytes received and not yet consumed
    size_t body_start_ = 0; // where the body starts in buffer_
    size_t position_ = 0;   // read position in buffer_
    http_head head_;
    bool chunked_ = false;
    size_t length_ = 0; // of a body framed by Content-Length
    std::string body_;
    std::string log_;
};

// One line of the head, its line end removed; false when it holds a stray CR.
bool take_line(std::string_view &text, std::string_view &line)
{
    size_t end = text.find('\n');
    line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line.find('\r') == std::string_view::npos;
}

int parse_request_line(std::string_view line, http_head &head)
{
    size_t first = line.find(' ');
    size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos)
        return 400;
    std::string_view method = line.substr(0, first);
    std::string_view target = line.substr(first + 1, second - first - 1);
    std::string_view version = line.substr(second + 1);
    if (!is_token(method) || target.empty() || !is_field_value(target))
        return 400;
    if (target.size() > target_max)
        return 414;
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" ||
        !isdigit(static_cast<unsigned char>(version[5])) || version[6] != '.' ||
        !isdigit(static_cast<unsigned char>(version[7])))
        return 400;
    if (version[5] != '1')
        return 505;
    head.method = method;
    head.target = target;
    head.minor_version = version[7] - '0';
    // The absolute form names the scheme and host before the path.
    std::string_view path = target;
    if (path.substr(0, 7) == "http://" || path.substr(0, 8) == "https://") {
        size_t slash = path.find('/', path.find("//") + 2);
        path = slash == std::string_view::npos ? "/" : path.substr(slash);
    }
    head.path = path.substr(0, path.find('?'));
    return 0;
}

} // namespace

const std::string *http_head::find(std::string_view name, bool *several) const
{
    const std::string *found = nullptr;
    if (several)
        *several = false;
    for (const auto &[key, value] : headers) {
        if (!iequals(key, name))
            continue;
        if (found && several)
            *several = true;
        if (!found)
            found = &value;
    }
    return found;
}

int http_parse_head(std::string_view text, http_head &head)
{
    std::string_view line;
    if (!take_line(text, line))
        return 400;
    if (int status = parse_request_line(line, head))
        return status;
    while (!text.empty()) {
        if (!take_line(text, line))
            return 400;
        if (line.empty())
            break;
        // A line starting with a blank would continue the previous one, a
        // form no longer allowed.
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || !is_token(line.substr(0, colon)))
            return 400;
        std::string_view value = trim_blanks(line.substr(colon + 1));
        if (!is_field_value(value))
            return 400;
        if (head.headers.size() == header_count_max)
            return 431;
        head.headers.emplace_back(line.substr(0, colon), value);
    }
    return 0;
}

std::optional<std::pair<std::string, std::string>> http_basic_credentials(std::string_view value)
{
    size_t space = value.find(' ');
    if (space == std::string_view::npos || !iequals(value.substr(0, space), "Basic"))
        return std::nullopt;
    std::optional<std::string> login = base64_decode(trim_blanks(value.substr(space + 1)));
    if (!login)
        return std::nullopt;
    size_t colon = login->find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    return std::make_pair(login->substr(0, colon), login->substr(colon + 1));
}

const char *http_reason(int status)
{
    static constexpr std::pair<int, const char *> reasons[] = {
        {100, "Continue"},
        {200, "OK"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {408, "Request Timeout"},
        {411, "Length Required"},
        {413, "Content Too Large"},
        {414, "URI Too Long"},
        {417, "Expectation Failed"},
        {431, "Request Header Fields Too Large"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {505, "HTTP Version Not Supported"},
    };
    for (const auto &[code, text] : reasons) {
        if (code == status)
            return text;
    }
    return "Unknown";
}

std::string http_serve(int fd, int abort_fd, const http_settings &settings,
                       const http_handler &handler)
{
    exchange x(fd, abort_fd, settings, handler);
    return x.run();
}

} // namespace sim
