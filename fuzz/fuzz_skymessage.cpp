// The sky's message decoder and handling, driven by the fuzzer's input: the
// bytes are one message on a subject the input chooses, delivered to a
// node-1 server with a pilot of its own. Whatever decodes must encode back
// to the very same bytes, and after handling, the registry must hold this
// node's pilot and exactly the remote pilots the sky state counts.
#include "CoreHarness.h"
#include "SkyHandling.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

namespace {

void fail(const char *what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

class NullPublisher : public SkyPublisher
{
public:
    void publish(const QByteArray &, const QByteArray &payload) override
    {
        SkyMessage::Fault fault;
        if (!SkyMessage::decode(payload, &fault))
            fail("this node published what it cannot decode");
    }
    void leave() override {}
};

const char *const kSubjects[] = {"node.2", "roster.2", "presence.2", "request.2", "node.3",
                                 "node.1", "presence.1", "node.02", "bogus"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const char *subject = kSubjects[input.ConsumeIntegralInRange<size_t>(0, std::size(kSubjects) - 1)];
    const std::string rest = input.ConsumeRemainingBytesAsString();
    const QByteArray bytes(rest.data(), qsizetype(rest.size()));

    SkyMessage::Fault fault;
    if (const std::optional<SkyMessage::Message> message = SkyMessage::decode(bytes, &fault)) {
        if (SkyMessage::encode(message->header, message->items) != bytes)
            fail("a decoded message encodes to other bytes");
    }

    CoreHarness h(false, false);
    NullPublisher publisher;
    h.ctx().joinSky(std::make_unique<SkyState>(1, QStringLiteral("f"), 1, 5000, publisher));
    SkyHandling::handle(h.ctx(), {SkyDelivery::Type::Connected, {}, {}});
    const PlayerPtr own = h.logOn(QStringLiteral("Ann"), QStringLiteral("127.0.0.2:40000"));
    for (int round = 0; round < 2; ++round) // twice: a repeat must change nothing more
        SkyHandling::handle(h.ctx(), {SkyDelivery::Type::Message, QByteArray("ventoro.f.") + subject, bytes});
    SkyHandling::onTick(h.ctx());
    if (h.ctx().sky->left)
        return 0;
    const int local = h.ctx().localPlayerCount();
    if (local < 0 || local > 1 || h.ctx().players.count() != local + h.ctx().sky->remotePlayerCount())
        fail("the registry and the sky state disagree");
    h.ctx().players.forEach([&](const PlayerPtr &player) {
        if (player->node != 0 && !SkyState::inRange(player->node, player->serverId))
            fail("a remote pilot outside its node's range");
    });
    return 0;
}
