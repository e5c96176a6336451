// The Whisper vocabulary: the reader of "tokenizer_info.bin", the fixed
// special-token ids and their generated names, and byte-level BPE decoding
// of token texts back to UTF-8 bytes.
#ifndef ZOR_ASR_WHISPER_WHISPER_VOCAB_H_
#define ZOR_ASR_WHISPER_WHISPER_VOCAB_H_

#include <cstdint>
#include <map>
#include <string>

#include "zor_asr.h"

// Token texts are in the byte-level BPE alphabet: each byte of the UTF-8
// text is written as one code point (a space is U+0120). Read-only after
// read_token_info, so any number of threads may look ids up.
struct whisper_vocab {
  int32_t vocab_size = 51866;
  std::map<std::string, int32_t> id_by_text;
  std::map<int32_t, std::string> text_by_id;  // what decoding uses

  int32_t eot_id = 50257;           // end of text
  int32_t sot_id = 50258;           // start of transcript
  int32_t translate_id = 50359;
  int32_t transcribe_id = 50360;
  int32_t solm_id = 50361;
  int32_t prev_id = 50362;
  int32_t nosp_id = 50363;
  int32_t notimestamps_id = 50364;
  int32_t beg_id = 50365;           // first timestamp token
};

// Reads the vocabulary file: an i32 count, then per entry a u32 length and
// that many bytes of text (entry 50257 has no text bytes, whatever its
// length says). Reading stops at the first short read, keeping the entries
// read so far, so a truncated file or a length field larger than the file
// never allocates beyond the file's size. Ids 50257..51865 then receive
// their generated names. A file that cannot be opened is reported on
// standard error ("read_token_info : fail to open '<path>'"), not thrown.
// Exported with exactly this typed signature.
ZOR_ASR_API whisper_vocab read_token_info(std::string path);

// read_token_info that also tells how many entries it took from the file
// (0 when it could not be opened or its count is 0 or less), so that engine
// creation can refuse a tokenizer that gave nothing. Internal to libfenn.
whisper_vocab load_whisper_vocab(const std::string& path, int32_t* entries_from_file);

// Turns a string in the BPE alphabet into raw bytes (normally UTF-8 text).
// Malformed UTF-8 bytes are skipped one at a time; code points that stand
// for no byte (512 and above among them) are dropped. Never throws except
// std::bad_alloc.
ZOR_ASR_API std::string whisper_bpe_decode(const std::string& bpe_text);

// The decoded text of one token id. Throws std::out_of_range ("map::at")
// when the vocabulary has no entry for the id.
ZOR_ASR_API std::string do_post_process(int64_t token_id, whisper_vocab vocab);

#endif  // ZOR_ASR_WHISPER_WHISPER_VOCAB_H_
