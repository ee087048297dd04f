// The socket-mode side of the simulator.

#include "sim_qsm.h"

#include <algorithm>
#include <charconv>
#include <strings.h>

#include "sim_stream.h"

namespace sim
{

namespace
{

constexpr size_t head_max = 16384; // the whole request head
constexpr size_t field_count_max = 16;

std::string printable(std::string_view text)
{
    std::string out;
    for (char c : text.substr(0, 80))
        out += isprint(static_cast<unsigned char>(c)) ? c : '?';
    return out + (text.size() > 80 ? "..." : "");
}

// The request head's fields.
struct qsm_head {
    std::string user, password;
    bool length_given = false;
    size_t length = 0;
};

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
        if (read_head() && check_head() && read_body())
            answer();
        conn_.finish();
        return log_;
    }

  private:
    // Answer with a status and no document; always false, to end the exchange.
    bool refuse(int status, const std::string &detail)
    {
        log_ = "QSM " + std::to_string(status) + " (" + detail + ")";
        deliver(status, "");
        return false;
    }

    // End without an answer; always false.
    bool drop(const std::string &why)
    {
        log_ = "QSM dropped (" + why + ")";
        return false;
    }

    bool read_failed(const std::string &what)
    {
        if (conn_.timed_out())
            return refuse(408, "timed out reading the " + what);
        if (conn_.too_long())
            return refuse(400, "request head over " + std::to_string(head_max) + " bytes");
        return drop(conn_.why() + " while reading the " + what);
    }

    void deliver(int status, const std::string &document)
    {
        std::string reply = "CORAPI-D/1.0 " + std::to_string(status) +
                            "\r\nContent-length: " + std::to_string(document.size()) + "\r\n\r\n" +
                            document;
        conn_.deadline_in(settings_.timeout);
        if (!conn_.send_all(reply))
            log_ += "; reply not delivered: " + conn_.why();
    }

    // One head line, counted against the bound of the whole head.
    bool head_line(std::string &line, const char *what)
    {
        if (!conn_.read_line(line, head_max - head_used_ + 1))
            return read_failed(what);
        head_used_ += line.size() + 1;
        return true;
    }

    bool take_field(const std::string &line)
    {
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            return refuse(400, "malformed head line: " + printable(line));
        std::string name = line.substr(0, colon);
        std::string value = line.substr(colon + 1);
        value.erase(0, std::min(value.find_first_not_of(" \t"), value.size()));
        if (strcasecmp(name.c_str(), "User") == 0) {
            head_.user = value;
        } else if (strcasecmp(name.c_str(), "Password") == 0) {
            head_.password = value;
        } else if (strcasecmp(name.c_str(), "Content-length") == 0) {
            auto [end, ec] =
                std::from_chars(value.data(), value.data() + value.size(), head_.length);
            if (value.empty() || end != value.data() + value.size() ||
                (ec != std::errc() && ec != std::errc::result_out_of_range))
                return refuse(400, "bad Content-length " + printable(value));
            if (ec == std::errc::result_out_of_range)
                head_.length = SIZE_MAX;
            head_.length_given = true;
        }
        return true; // other fields are passed over
    }

    bool read_head()
    {
        std::string line;
        if (!head_line(line, "request head"))
            return false;
        if (line != "CORAPI-D/1.0")
            return refuse(400, "not a socket-mode request: " + printable(line));
        for (size_t fields = 0;; fields++) {
            if (!head_line(line, "request head"))
                return false;
            if (line.empty())
                return true;
            if (fields == field_count_max)
                return refuse(400, "more than " + std::to_string(field_count_max) + " head lines");
            if (!take_field(line))
                return false;
        }
    }

    bool check_head()
    {
        if (!head_.length_given)
            return refuse(400, "no Content-length");
        if (head_.user != settings_.user || head_.password != settings_.password)
            return refuse(401, "wrong user or password for user " + printable(head_.user));
        if (head_.length > settings_.max_body)
            return refuse(413, "body of " + std::to_string(head_.length) +
                                   " bytes over the limit of " +
                                   std::to_string(settings_.max_body));
        return true;
    }

    bool read_body()
    {
        if (conn_.read_bytes(body_, head_.length))
            return true;
        if (conn_.ended())
            return drop("request cut short in the request body");
        return read_failed("request body");
    }

    void answer()
    {
        http_answer a = handler_(body_);
        log_ = "QSM " + a.summary;
        deliver(a.status, a.status == 200 ? a.body : std::string());
    }

    stream conn_;
    const http_settings &settings_;
    const http_handler &handler_;
    size_t head_used_ = 0;
    qsm_head head_;
    std::string body_;
    std::string log_;
};

} // namespace

std::string qsm_serve(int fd, int abort_fd, const http_settings &settings,
                      const http_handler &handler)
{
    exchange x(fd, abort_fd, settings, handler);
    return x.run();
}

} // namespace sim
