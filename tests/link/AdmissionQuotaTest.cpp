// Who gives up a place when a newcomer arrives: the rules that keep one address from locking
// out the others, walked through as a table.
#include "link/AdmissionQuota.h"

#include <gtest/gtest.h>

using namespace tarnwick;

namespace {

const QHostAddress a(QStringLiteral("192.0.2.1"));
const QHostAddress b(QStringLiteral("192.0.2.2"));
const QHostAddress c(QStringLiteral("192.0.2.3"));

using Verdict = AdmissionQuota::Verdict;

struct Case {
    const char* what;
    std::vector<AdmissionQuota::Place> places;
    QHostAddress newcomer;
    Verdict verdict;
    std::size_t place = 0;
};

} // namespace

TEST(LinkAdmissionQuota, NewcomersDisplaceTheLeastValuablePlaceOfTheCrowdedAddress) {
    // Two places per address, four in all.
    const AdmissionQuota quota(2, 4);
    const std::vector<Case> cases{
        {"room for everyone", {{a, 0, 1, true}}, b, Verdict::admit},
        {"own address full: its oldest goes",
         {{a, 0, 5, true}, {b, 0, 1, true}, {a, 0, 3, true}},
         a,
         Verdict::displace,
         2},
        {"own address full: the squatter goes before the busy one, however old",
         {{a, 1, 1, true}, {a, 0, 9, true}},
         a,
         Verdict::displace,
         1},
        {"own address full of places that may not yield",
         {{a, 0, 1, false}, {a, 0, 2, false}},
         a,
         Verdict::refuse},
        {"another address full: the newcomer still gets in",
         {{a, 0, 1, true}, {a, 0, 2, true}},
         b,
         Verdict::admit},
        {"host full: the address that holds the most gives up its oldest, not the oldest overall",
         {{b, 0, 1, true}, {a, 0, 2, true}, {a, 0, 3, true}, {c, 0, 4, true}},
         c,
         Verdict::displace,
         1},
        {"host full and nothing yields",
         {{a, 0, 1, false}, {a, 0, 2, false}, {b, 0, 3, false}, {b, 0, 4, false}},
         c,
         Verdict::refuse},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto decision = quota.judge(c.places, c.newcomer);
        EXPECT_EQ(decision.verdict, c.verdict);
        if (c.verdict == Verdict::displace) {
            EXPECT_EQ(decision.place, c.place);
        }
    }
}

TEST(LinkAdmissionQuota, MappedIPv4AddressesCountAsTheirIPv4Address) {
    EXPECT_EQ(admissionAddress(QHostAddress(QStringLiteral("::ffff:192.0.2.1"))), a);
    const QHostAddress v6(QStringLiteral("2001:db8::1"));
    EXPECT_EQ(admissionAddress(v6), v6);
}
