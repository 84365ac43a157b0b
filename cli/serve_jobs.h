// The work `zentrel serve` hands to its worker processes: each job names a
// file inside a served folder and says what to do with it; the answer is the
// HTTP response the page gets.
#pragma once

#include <optional>
#include <string>

namespace zentrel::cli {

enum class ServeJobKind {
    Repeat,     // the tool's repeat record
    Tile,       // the tool's tile record
    Rectify,    // the tool's rectify record; `argument`: the corners, x1,y1,...,y4
    Quad,       // the corners rectify --auto would use
    Thumbnail,  // a small JPEG of the image
    Display,    // the image as an 8-bit PNG, for formats browsers do not show
    Export,     // the tool's tile record with --export; `argument`: the dpi or "",
                // `output`: the folder the tile goes to
    Check,      // whether the image decodes; the library's message if not (last)
};

struct ServeJob {
    ServeJobKind kind = ServeJobKind::Repeat;
    std::string folder;  // the served folder's real path; the worker works in it
    std::string file;    // relative to `folder`, as the library is given it
    std::string argument;
    std::string output;
};

struct ServeReply {
    int status = 200;
    std::string type = "application/json";
    std::string body;
};

std::string EncodeServeJob(const ServeJob& job);
std::optional<ServeJob> DecodeServeJob(const std::string& bytes);
std::string EncodeServeReply(const ServeReply& reply);
std::optional<ServeReply> DecodeServeReply(const std::string& bytes);

// Runs the job in this process (a worker): the library's records are the
// tool's own, and a call the library refuses is 422 with its message.
ServeReply RunServeJob(const ServeJob& job);

// {"ok": false, "error": MESSAGE}
std::string ErrorJson(const std::string& message);

}  // namespace zentrel::cli
