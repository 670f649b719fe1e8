#include "engine/conversation_snapshot.h"

#include <utility>

#include "base/error.h"
#include "engine/brain.h"
#include "engine/byte_codec.h"
#include "engine/knowledge_codec.h"

namespace corvane {
namespace {

constexpr std::string_view kMagic = "CVSN";
constexpr uint64_t kFormat = 1;

}  // namespace

std::string WriteSnapshot(const Conversation& conversation) {
  ByteWriter out;
  out.Raw(kMagic);
  out.U64(kFormat);
  out.U64(conversation.knowledge()->fingerprint());
  ByteWriter state;
  conversation.EncodeState(state);
  out.Text(state.bytes());
  out.Bool(conversation.promoted());
  if (conversation.promoted()) {
    ByteWriter knowledge;
    KnowledgeCodec::Encode(*conversation.private_brain(), knowledge, true);
    out.Text(knowledge.bytes());
  }
  return out.Take();
}

std::unique_ptr<Conversation> ReadSnapshot(
    std::shared_ptr<const SharedKnowledge> knowledge, std::string_view bytes,
    std::size_t max_bytes) {
  ByteReader in(bytes, "snapshot");
  if (bytes.size() > max_bytes)
    in.Fail("it is " + std::to_string(bytes.size()) +
            " bytes long, more than the " + std::to_string(max_bytes) +
            " allowed");
  if (bytes.size() < kMagic.size() || in.Raw(kMagic.size()) != kMagic)
    in.Fail("it is no conversation snapshot");
  const uint64_t format = in.U64();
  if (format != kFormat)
    in.Fail("it is of format " + std::to_string(format) + ", not " +
            std::to_string(kFormat));
  if (in.U64() != knowledge->fingerprint())
    in.Fail("it was made on other knowledge");
  const std::string state = in.Text();
  std::unique_ptr<BrainClass> brain;
  if (in.Bool()) {
    const std::string encoded = in.Text();
    ByteReader knowledge_in(encoded, "snapshot's knowledge");
    brain = KnowledgeCodec::Decode(knowledge_in);
  }
  if (!in.done()) in.Fail("bytes follow the conversation");
  ByteReader state_in(state, "snapshot's conversation");
  return Conversation::RestoreState(std::move(knowledge), state_in,
                                    std::move(brain));
}

}  // namespace corvane
