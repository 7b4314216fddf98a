#ifndef PEERTRUST_H
#define PEERTRUST_H

#include <string>

#include <sys/types.h>

namespace tamoappframework {

// Who may be the MCU service. The abstract socket name carries no
// permissions: whoever binds it first is "the service", so only root, this
// process's own user and the MCU service's user are talked to.
class PeerTrust
{
public:
    // Looks the users up ("" for no service user). An unknown service user is
    // logged once and trusts nobody more.
    void resolve(const std::string &serviceUser);
    bool trusts(uid_t uid) const;
    // "root (uid 0), <own user> (uid N), <service user> (uid M)" for the refusal line.
    const std::string &trustedUsers() const { return m_trustedUsers; }

private:
    uid_t m_self = 0;
    uid_t m_serviceUid = uid_t(-1); // -1: none or unknown
    std::string m_trustedUsers;
};

} // namespace tamoappframework

#endif // PEERTRUST_H
