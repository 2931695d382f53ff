#include "sim/camera/AnswerFaults.h"

namespace tvsim {

void BreakDialogAnswer(osip_message_t* answer, const std::string& platformId,
                       const std::string& platformIp, int platformPort) {
    if (osip_to_t* to = osip_message_get_to(answer)) {
        osip_list_special_free(&to->gen_params,
                               reinterpret_cast<void (*)(void*)>(&osip_uri_param_free));
        osip_list_init(&to->gen_params);
    }
    osip_list_special_free(&answer->contacts,
                           reinterpret_cast<void (*)(void*)>(&osip_contact_free));
    osip_list_init(&answer->contacts);
    const std::string contact =
        "<sip:" + platformId + "@" + platformIp + ":" + std::to_string(platformPort) + ">";
    osip_message_set_contact(answer, contact.c_str());
    // The texts osip keeps of the message are stale now.
    osip_message_force_update(answer);
}

} // namespace tvsim
