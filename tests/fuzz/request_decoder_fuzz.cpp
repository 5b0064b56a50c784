// Feeds arbitrary bytes through the line splitter and the request decoder, and
// writes back whatever decodes, as the daemon does.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "rpc/line_buffer.hpp"
#include "rpc/protocol.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    kest::LineBuffer buffer(4096);
    // Arrive in uneven pieces, as a socket delivers them.
    std::size_t offset = 0;
    std::size_t piece = 1;
    while (offset < bytes.size()) {
        std::size_t length = std::min(piece, bytes.size() - offset);
        buffer.append(bytes.substr(offset, length));
        offset += length;
        piece = piece * 3 + 1;
        while (auto line = buffer.nextLine()) {
            if (line->empty() || !kest::isValidUTF8(*line)) continue;
            if (auto request = kest::parseRPCRequestFromLine(*line)) {
                (void)request->paramString("a");
                (void)request->paramInt("a");
                (void)request->paramDouble("a");
                (void)request->paramStringArray("a");
                kest::RPCResponse response = kest::RPCResponse::success(request->id, nullptr);
                if (request->params) {
                    kest::Json echoed = kest::Json::object();
                    for (const auto& [key, value] : *request->params) echoed[key] = value.value;
                    response.result = echoed;
                }
                auto text = response.toJSON();
                if (text && !kest::parseRPCRequestFromLine(*text) && !text->empty()) {
                    // A written response is always valid JSON text.
                    if (kest::Json::parse(*text, nullptr, false).is_discarded()) __builtin_trap();
                }
            }
        }
        if (buffer.overflowed()) break;
    }
    return 0;
}
