// Which transfer connection goes to which request, from tables of events.
//
// Each case is a script of events, one per `;`, with times in milliseconds:
//   open S A            session S connects from address A
//   begin S @T          the first byte of S's next request arrives
//   await|refuse|other S @T
//                       S's request set up a transfer, was a refused transfer,
//                       or was anything else
//   conn C A @T         connection C from A, accepted right as it came
//   conn C A @T1-T2     ... arrived after the queue was empty at T1, by T2
//   fin|data|rst C @T   its client closed it empty, closed it after bytes,
//                       reset it
//   caught @T           every request begun before T has been seen
//   tick @T             time passes
//   gone|timeout S @T   S ends (awaiting, or its wait ran out)
//   detach S @T         S's client left its awaiting download behind
//   done S              S's transfer ended
// and the decisions it must produce, in order, each with the time of the
// event that made it: "give C S @T" or "close C @T".
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "sharing/transfer_pairing.h"

namespace vextora {
namespace {

// Far from zero, which the unit may take for "never".
constexpr std::int64_t BASE_MS = 1'000'000;

struct Case {
    const char* name;
    const char* script;
    const char* decisions;
};

class Runner {
public:
    std::string run(const std::string& script) {
        std::stringstream steps(script);
        std::string step;
        while (std::getline(steps, step, ';')) {
            std::stringstream words(step);
            std::string kind;
            words >> kind;
            if (kind.empty()) continue;
            apply(kind, words);
            collect();
        }
        return out_.str();
    }
    TransferPairing pairing;

private:
    std::int64_t parseTime(const std::string& word) {
        now_ = word.substr(1);
        return BASE_MS + std::stoll(now_);
    }
    static Stamp ns(std::int64_t ms) { return ms * 1'000'000; }
    static std::uint32_t tick(std::int64_t ms) { return static_cast<std::uint32_t>(ms); }

    void apply(const std::string& kind, std::stringstream& words) {
        std::string a, b, c;
        words >> a >> b >> c;
        if (kind == "open") {
            pairing.sessionOpened(std::stoull(a), static_cast<std::uint32_t>(std::stoul(b)));
        } else if (kind == "begin") {
            auto at = parseTime(b);
            pairing.requestBegun(std::stoull(a), ns(at), tick(at));
        } else if (kind == "await" || kind == "refuse" || kind == "other") {
            auto at = parseTime(b);
            auto answer = kind == "await"    ? TransferPairing::Answer::Awaiting
                          : kind == "refuse" ? TransferPairing::Answer::Refused
                                             : TransferPairing::Answer::NotTransfer;
            pairing.requestAnswered(std::stoull(a), answer, tick(at), ns(at));
        } else if (kind == "conn") {
            auto dash = c.find('-');
            auto after = parseTime(c.substr(0, dash));
            auto by = after;
            if (dash != std::string::npos) by = parseTime("@" + c.substr(dash + 1));
            pairing.connectionArrived(std::stoull(a), static_cast<std::uint32_t>(std::stoul(b)),
                                      ns(after), ns(by), tick(by), ns(by));
        } else if (kind == "fin" || kind == "data" || kind == "rst") {
            auto at = parseTime(b);
            pairing.connectionEnded(std::stoull(a), kind == "rst", kind == "data", tick(at),
                                    ns(at));
        } else if (kind == "caught") {
            auto at = parseTime(a);
            pairing.caughtUp(ns(at), tick(at), ns(at));
        } else if (kind == "tick") {
            auto at = parseTime(a);
            pairing.tick(tick(at), ns(at));
        } else if (kind == "gone" || kind == "timeout") {
            auto at = parseTime(b);
            pairing.sessionGone(std::stoull(a), tick(at), ns(at), kind == "timeout");
        } else if (kind == "detach") {
            auto at = parseTime(b);
            pairing.detach(std::stoull(a), tick(at), ns(at));
        } else if (kind == "done") {
            pairing.transferEnded(std::stoull(a));
        } else {
            ADD_FAILURE() << "unknown step " << kind;
        }
    }
    void collect() {
        for (const PairingDecision& decision : pairing.takeDecisions()) {
            if (out_.tellp() > 0) out_ << ", ";
            if (decision.kind == PairingDecision::Give)
                out_ << "give " << decision.connection << ' ' << decision.session;
            else
                out_ << "close " << decision.connection;
            out_ << " @" << now_;
        }
    }
    std::stringstream out_;
    std::string now_ = "0";
};

void runCases(const std::vector<Case>& cases) {
    for (const Case& each : cases) {
        Runner runner;
        EXPECT_EQ(runner.run(each.script), each.decisions) << each.name;
    }
}

TEST(TransferPairing, StraysCarryNothingAndNeverGoToALaterRequest) {
    runCases({
        {"closed empty, then an upload a while later",
         "open 1 7; conn 1 7 @10; fin 1 @11; caught @300; "
         "begin 1 @400; await 1 @401; conn 2 7 @402",
         "close 1 @300, give 2 1 @402"},
        {"closed empty right before the request: the request's own wins",
         "open 1 7; conn 1 7 @10; fin 1 @11; begin 1 @12; await 1 @13; conn 2 7 @14; "
         "caught @400",
         "give 2 1 @14, close 1 @400"},
        {"closed after sending bytes right before the request",
         "open 1 7; conn 1 7 @10; data 1 @11; begin 1 @12; await 1 @13; conn 2 7 @14; "
         "caught @400",
         "give 2 1 @14, close 1 @400"},
        {"reset: closed at once", "open 1 7; conn 1 7 @10; rst 1 @11", "close 1 @11"},
        {"left open: never taken, closed when its time is up",
         "open 1 7; conn 1 7 @10; begin 1 @1000; await 1 @1001; tick @5000; conn 2 7 @5001; "
         "tick @30009; tick @30010",
         "give 2 1 @5001, close 1 @30010"},
        {"one that came well before the request is never taken",
         "open 1 7; conn 1 7 @10; begin 1 @500; await 1 @501; tick @10000", ""},
        {"a stray closed later is closed once caught up, not before",
         "open 1 7; conn 1 7 @10; fin 1 @20; caught @200; caught @261", "close 1 @261"},
        {"from another address it is nobody's here",
         "open 1 7; conn 1 8 @5-20; begin 1 @10; await 1 @11; tick @1000; conn 2 7 @1001",
         "give 2 1 @1001"},
    });
}

TEST(TransferPairing, ARequestTakesItsOwnConnection) {
    runCases({
        {"connected after the answer", "open 1 7; begin 1 @10; await 1 @11; conn 1 7 @12",
         "give 1 1 @12"},
        {"connected before the answer", "open 1 7; begin 1 @10; conn 1 7 @11; await 1 @12",
         "give 1 1 @12"},
        {"request and connection seen in one look",
         "open 1 7; begin 1 @10; conn 1 7 @5-12; await 1 @13", "give 1 1 @13"},
        {"an upload closed before it was taken",
         "open 1 7; begin 1 @10; conn 1 7 @11; "
         "data 1 @12; await 1 @13",
         "give 1 1 @13"},
        {"an empty upload seen with its request waits a moment for anything surer",
         "open 1 7; begin 1 @10; conn 1 7 @5-12; fin 1 @12; await 1 @13; tick @212; tick @213",
         "give 1 1 @213"},
        {"its bytes processed after its connection: taken after a moment",
         "open 1 7; conn 1 7 @10; begin 1 @11; await 1 @12; tick @211; tick @212", "give 1 1 @212"},
        {"the newest of two seen with the request",
         "open 1 7; begin 1 @10; "
         "conn 1 7 @5-12; conn 2 7 @5-12; await 1 @13",
         "give 2 1 @13"},
        {"one after the request beats one seen with it",
         "open 1 7; begin 1 @10; conn 1 7 @5-12; await 1 @13; tick @14", "give 1 1 @13"},
    });
}

TEST(TransferPairing, ARefusedRequestOwesAtMostTheOneConnectionMadeForIt) {
    runCases({
        {"never connected, next at once",
         "open 1 7; begin 1 @10; refuse 1 @11; begin 1 @11; await 1 @12; conn 1 7 @13",
         "give 1 1 @13"},
        {"never connected, next after 100 ms",
         "open 1 7; begin 1 @10; refuse 1 @11; tick @111; begin 1 @111; await 1 @112; "
         "conn 1 7 @113",
         "give 1 1 @113"},
        {"never connected, next after 1 s",
         "open 1 7; begin 1 @10; refuse 1 @11; tick @1011; begin 1 @1011; await 1 @1012; "
         "conn 1 7 @1013",
         "give 1 1 @1013"},
        {"never connected, next after 3 s",
         "open 1 7; begin 1 @10; refuse 1 @11; tick @3011; begin 1 @3011; await 1 @3012; "
         "conn 1 7 @3013",
         "give 1 1 @3013"},
        {"connected and closed after the answer",
         "open 1 7; begin 1 @10; refuse 1 @11; conn 1 7 @12; fin 1 @13; "
         "begin 1 @20; await 1 @21; conn 2 7 @22",
         "close 1 @13, give 2 1 @22"},
        {"connected, its close seen only after the next transfer began",
         "open 1 7; begin 1 @10; refuse 1 @11; conn 1 7 @12; begin 1 @20; await 1 @21; "
         "conn 2 7 @22; fin 1 @23; caught @300",
         "give 2 1 @22, close 1 @300"},
        {"the first of two is the refused one's",
         "open 1 7; begin 1 @10; refuse 1 @11; conn 1 7 @12; conn 2 7 @13", "close 1 @13"},
        {"a connection seen with the next request that is a transfer waits a moment",
         "open 1 7; begin 1 @10; refuse 1 @11; conn 1 7 @5-22; begin 1 @20; await 1 @23; "
         "tick @222; tick @223",
         "give 1 1 @223"},
        {"... and is the refused one's when the next request is not a transfer",
         "open 1 7; begin 1 @10; refuse 1 @11; conn 1 7 @5-22; begin 1 @20; other 1 @23",
         "close 1 @23"},
        {"the claim lapses after two seconds; what it held stays a stray",
         "open 1 7; begin 1 @10; refuse 1 @11; conn 1 7 @12; tick @2010; tick @2011; "
         "begin 1 @3000; await 1 @3001; conn 2 7 @3002; fin 1 @3003; caught @3300",
         "give 2 1 @3002, close 1 @3300"},
        {"another client at the address waits while the claim is open",
         "open 1 7; open 2 7; begin 1 @10; refuse 1 @11; begin 2 @12; await 2 @13; "
         "conn 1 7 @14; fin 1 @15; conn 2 7 @16",
         "close 1 @15, give 2 2 @16"},
    });
}

TEST(TransferPairing, ClientsBehindOneAddressKeepTheirOwnConnections) {
    runCases({
        {"one after the other",
         "open 1 7; open 2 7; begin 1 @10; await 1 @11; conn 1 7 @12; "
         "begin 2 @20; await 2 @21; conn 2 7 @22",
         "give 1 1 @12, give 2 2 @22"},
        {"a stray while the first runs does not go to the second",
         "open 1 7; open 2 7; begin 1 @10; await 1 @11; conn 1 7 @12; conn 3 7 @15; "
         "begin 2 @20; await 2 @21; conn 2 7 @22",
         "give 1 1 @12, give 2 2 @22"},
        {"waiters are served oldest first",
         "open 1 7; open 2 7; begin 1 @10; await 1 @11; begin 2 @12; await 2 @13; "
         "conn 1 7 @14; conn 2 7 @15",
         "give 1 1 @14, give 2 2 @15"},
        {"a connection another request skipped goes to the next in turn",
         "open 1 7; open 2 7; begin 1 @10; conn 1 7 @5-15; begin 2 @12; await 2 @13; "
         "await 1 @21; conn 2 7 @22",
         "give 1 2 @13, give 2 1 @22"},
    });
}

TEST(TransferPairing, LeftAndGoneSessions) {
    runCases({
        {"a download left behind does not take a connection made for another request",
         "open 1 7; open 2 7; begin 1 @10; await 1 @11; detach 1 @12; "
         "begin 2 @20; await 2 @21; conn 1 7 @22",
         "give 1 2 @22"},
        {"... but takes a live one once nothing else from its address waits",
         "open 1 7; open 2 7; begin 1 @10; await 1 @11; detach 1 @12; conn 1 7 @30; "
         "caught @31",
         "give 1 1 @31"},
        {"... and one a request passed over for a later one: its client still reads it",
         "open 1 7; open 2 7; begin 1 @10; conn 1 7 @5-9; await 1 @11; begin 2 @12; "
         "await 2 @13; conn 2 7 @14; detach 2 @20; caught @30",
         "give 2 1 @14, give 1 2 @30"},
        {"... but not a stray from long before any request",
         "open 1 7; open 2 7; conn 1 7 @0; begin 1 @1000; await 1 @1001; begin 2 @1002; "
         "await 2 @1003; conn 2 7 @1004; detach 2 @1010; caught @1020; tick @40000",
         "give 2 1 @1004, close 1 @40000"},
        {"... and never one its client closed",
         "open 1 7; open 2 7; begin 1 @10; await 1 @11; detach 1 @12; conn 1 7 @30; "
         "fin 1 @30; caught @31; caught @300",
         "close 1 @300"},
        {"a session gone while awaiting leaves a claim on its client's connection",
         "open 1 7; open 2 7; begin 1 @10; await 1 @11; gone 1 @12; conn 1 7 @13; "
         "begin 2 @20; await 2 @21; conn 2 7 @22",
         "close 1 @22, give 2 2 @22"},
        {"... unless its wait ran out",
         "open 1 7; open 2 7; begin 1 @10; await 1 @11; timeout 1 @12; "
         "begin 2 @20; await 2 @21; conn 2 7 @22",
         "give 2 2 @22"},
    });
}

TEST(TransferPairing, HeldConnectionsAreCapped) {
    Runner perAddress;
    std::string script = "open 1 7";
    for (std::size_t i = 1; i <= TransferPairing::SPARE_PER_ADDRESS + 2; ++i)
        script += "; conn " + std::to_string(i) + " 7 @" + std::to_string(10 + i);
    EXPECT_EQ(perAddress.run(script), "close 1 @28") << "its session's one and the spares stay";
    EXPECT_EQ(perAddress.pairing.heldCount(), TransferPairing::SPARE_PER_ADDRESS + 1);

    Runner inAll;
    std::string many;
    std::size_t total = TransferPairing::SPARE_IN_ALL + 1;
    for (std::size_t i = 1; i <= total; ++i)
        many += "conn " + std::to_string(i) + " " + std::to_string(100 + i % 512) + " @" +
                std::to_string(10 + i) + "; ";
    EXPECT_EQ(inAll.run(many), "close 1 @1035") << "the oldest of all goes first";
    EXPECT_EQ(inAll.pairing.heldCount(), TransferPairing::SPARE_IN_ALL);
}

TEST(TransferPairing, CountsFollowTheEvents) {
    Runner runner;
    runner.run("open 1 7; open 2 7; begin 1 @10; refuse 1 @11; begin 2 @12; await 2 @13");
    EXPECT_EQ(runner.pairing.claimCount(), 1u);
    EXPECT_EQ(runner.pairing.awaitingCount(), 1u);
    EXPECT_TRUE(runner.pairing.othersConnectedFrom(1));
    EXPECT_TRUE(runner.pairing.waitsForTime()) << "the claim lapses with time";
    runner.run("tick @2011");
    EXPECT_EQ(runner.pairing.claimCount(), 0u);
    runner.run("detach 2 @2012");
    EXPECT_EQ(runner.pairing.detachedCount(), 1u);
    EXPECT_EQ(runner.pairing.awaitingCount(), 0u);
    runner.run("done 2; gone 1 @2013");
    EXPECT_EQ(runner.pairing.detachedCount(), 0u);
    EXPECT_FALSE(runner.pairing.othersConnectedFrom(1));
    EXPECT_FALSE(runner.pairing.waitsForTime());
}

}  // namespace
}  // namespace vextora
