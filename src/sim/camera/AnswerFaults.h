// Faults that rewrite a SIP answer the device built.
#pragma once

#include <osipparser2/osip_parser.h>

#include <string>

namespace tvsim {

// "contact-back": the To tag goes and the Contact names the platform, as some
// devices answer an INVITE; no ACK or BYE can then reach the device.
void BreakDialogAnswer(osip_message_t* answer, const std::string& platformId,
                       const std::string& platformIp, int platformPort);

} // namespace tvsim
