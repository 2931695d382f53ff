#pragma once
// Reading a logged SIP message's head as the log's views need it: start line,
// headers, Call-ID, the peer a sent message went to, and a hex dump of the bytes.
// Toolkit-free, no parsing beyond what those views show.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvex::siptext {

std::string_view FirstLine(std::string_view head);
// "INVITE" of "INVITE sip:… SIP/2.0"; empty for an answer.
std::string_view MethodOf(std::string_view head);
// 200 of "SIP/2.0 200 OK"; -1 for a request.
int StatusOf(std::string_view head);
// "200 OK" of an answer, the method of a request.
std::string_view Summary(std::string_view head);
// The first header of that name (or its compact form), value trimmed; empty when none.
std::string_view HeaderValue(std::string_view head, std::string_view name, std::string_view compact = {});
std::string_view CallIdOf(std::string_view head);
// Every header after the start line, in order, folded lines joined.
std::vector<std::pair<std::string, std::string>> Headers(std::string_view head);
// Where a message Tarvex sent went, read from its head as the transport does:
// a request to its Request-URI's host:port (5060 when none), an answer to the
// top Via's received/rport, else its sent-by. Empty when the head says nothing.
std::string SentPeer(std::string_view head);
// 16 bytes a line: offset, hex, the printable ASCII.
std::string HexDump(std::string_view bytes);

} // namespace tarvex::siptext
