// The bytes of one turn record in a Redis store's transcript list:
//   "1 TURN TIME FLAGS KVLEN INLEN REPLYLEN\n" KNOWLEDGE INPUT REPLY
// numbers in decimal, FLAGS 1 for failed plus 2 for fallback. A header
// line keeps the record readable in redis-cli; the lengths keep every
// byte of the texts exact.
#ifndef CORVANE_STORE_TURN_RECORD_CODEC_H_
#define CORVANE_STORE_TURN_RECORD_CODEC_H_

#include <string>
#include <string_view>

#include "store/conversation_store.h"

namespace corvane {

std::string EncodeTurnRecord(const TurnEntry& entry);

// Throws StoreDataError for bytes EncodeTurnRecord never makes.
TurnEntry DecodeTurnRecord(std::string_view bytes);

}  // namespace corvane

#endif  // CORVANE_STORE_TURN_RECORD_CODEC_H_
