#include "peertrust.h"

#include "processlog.h"

#include <cerrno>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace tamoappframework {

namespace {

using processlog::Priority;

// A user's name and uid as the refusal line shows them: "name (uid N)".
std::string describeUser(uid_t uid, const std::string &name)
{
    return (name.empty() ? std::string("uid") : name) + " (uid " + std::to_string(uid) + ")";
}

// getpwnam_r / getpwuid_r with a buffer that grows as they ask.
bool lookUpUser(const char *name, uid_t uid, uid_t *uidOut, std::string *nameOut)
{
    std::vector<char> buf(1024);
    for (;;) {
        passwd pw{};
        passwd *found = nullptr;
        const int rc = name ? ::getpwnam_r(name, &pw, buf.data(), buf.size(), &found)
                            : ::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 4);
            continue;
        }
        if (rc != 0 || !found)
            return false;
        if (uidOut)
            *uidOut = found->pw_uid;
        if (nameOut)
            *nameOut = found->pw_name;
        return true;
    }
}

} // namespace

void PeerTrust::resolve(const std::string &serviceUser)
{
    m_self = ::geteuid();
    std::string selfName;
    lookUpUser(nullptr, m_self, nullptr, &selfName);
    m_trustedUsers = describeUser(0, "root");
    if (m_self != 0)
        m_trustedUsers += ", " + describeUser(m_self, selfName);

    m_serviceUid = uid_t(-1);
    if (serviceUser.empty())
        return;
    uid_t uid;
    if (!lookUpUser(serviceUser.c_str(), 0, &uid, nullptr)) {
        processlog::outf(Priority::Warning,
                         "=================>>>MainAppProtocolComm the MCU service user \"%s\" is unknown; "
                         "trusted are %s only\n", serviceUser.c_str(), m_trustedUsers.c_str());
        return;
    }
    m_serviceUid = uid;
    if (uid != 0 && uid != m_self)
        m_trustedUsers += ", " + describeUser(uid, serviceUser);
}

bool PeerTrust::trusts(uid_t uid) const
{
    return uid == 0 || uid == m_self || (m_serviceUid != uid_t(-1) && uid == m_serviceUid);
}

} // namespace tamoappframework
