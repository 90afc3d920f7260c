// A registry checkpoint as the next run finds it: any bytes. Decoding never
// crashes; what decodes restores into an empty registry without a failure,
// and the restored registry, checkpointed again, decodes to the same
// players.
#include "CoreHarness.h"
#include "RegistryCheckpoint.h"

#include <cstdio>
#include <cstdlib>

namespace {

void fail(const char *what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace RegistryCheckpoint;
    const Decoded decoded = decode(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (!decoded.checkpoint) {
        if (decoded.problem.isEmpty())
            fail("a refusal without a reason");
        return 0;
    }
    const Checkpoint &checkpoint = *decoded.checkpoint;
    CoreHarness h(false, false);
    h.ctx().ReplyToSourcePort = checkpoint.setup.replyToSourcePort;
    const Restored restored = restore(h.ctx(), checkpoint, checkpoint.setup, checkpoint.writtenAtMs);
    if (!restored.problem.isEmpty() || restored.players != checkpoint.players.size())
        fail("a checkpoint that decoded was not restored whole");
    const Decoded again = decode(encode(capture(h.ctx(), checkpoint.setup, checkpoint.writtenAtMs)));
    if (!again.checkpoint || again.checkpoint->players.size() != checkpoint.players.size()
        || again.checkpoint->lastServerId != checkpoint.lastServerId)
        fail("a restored registry does not checkpoint again");
    for (qsizetype i = 0; i < checkpoint.players.size(); ++i) {
        const PlayerState &before = checkpoint.players[i];
        const PlayerState &after = again.checkpoint->players[i];
        if (before.serverId != after.serverId || before.endpoint != after.endpoint
            || before.heartbeatAgeS != after.heartbeatAgeS || before.sentPlaneType != after.sentPlaneType)
            fail("a player changed across a restore");
    }
    return 0;
}
