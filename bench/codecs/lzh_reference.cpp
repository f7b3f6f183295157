#include "lzh_reference.h"

#include <cstring>
#include <memory>

namespace ztv::reference {

namespace {

constexpr int N = 4096;
constexpr int F = 60;
constexpr int THRESHOLD = 2;
constexpr int N_CHAR = 256 - THRESHOLD + F;
constexpr int T = N_CHAR * 2 - 1;
constexpr int R = T - 1;
constexpr unsigned MAX_FREQ = 0x8000;

struct State {
  const TLZHReadProc* read;
  const TLZHWriteProc* write;
  uint8_t inBuf[256];
  unsigned inIndex;
  unsigned bitIndex;
  uint8_t ring[N];
  uint16_t freq[T + 1];
  uint16_t son[T];
  uint16_t prnt[T + N_CHAR];
  uint8_t dCode[256];
  uint8_t dLen[256];

  void Tables() {
    int i = 0;
    const int runs[6] = {32, 16, 8, 4, 2, 1};
    const int counts[6] = {1, 3, 8, 12, 24, 16};
    int upper = 0;
    for (int band = 0; band < 6; ++band) {
      for (int c = 0; c < counts[band]; ++c, ++upper) {
        for (int k = 0; k < runs[band]; ++k, ++i) {
          dCode[i] = static_cast<uint8_t>(upper);
          dLen[i] = static_cast<uint8_t>(band + 3);
        }
      }
    }
  }

  void StartHuff() {
    for (int i = 0; i < N_CHAR; i++) {
      freq[i] = 1;
      son[i] = static_cast<uint16_t>(i + T);
      prnt[i + T] = static_cast<uint16_t>(i);
    }
    int i = 0, j = N_CHAR;
    while (j <= R) {
      freq[j] = static_cast<uint16_t>(freq[i] + freq[i + 1]);
      son[j] = static_cast<uint16_t>(i);
      prnt[i] = prnt[i + 1] = static_cast<uint16_t>(j);
      i += 2;
      j++;
    }
    freq[T] = 0xffff;
    prnt[R] = 0;
  }

  void Reconst() {
    int j = 0;
    for (int i = 0; i < T; i++) {
      if (son[i] >= T) {
        freq[j] = static_cast<uint16_t>((freq[i] + 1) / 2);
        son[j] = son[i];
        j++;
      }
    }
    for (int i = 0, jj = N_CHAR; jj < T; i += 2, jj++) {
      int k = i + 1;
      unsigned f = static_cast<unsigned>(freq[i]) + freq[k];
      freq[jj] = static_cast<uint16_t>(f);
      for (k = jj - 1; k > 0 && f < freq[k]; k--) {
      }
      if (f >= freq[k]) k++;
      int l = (jj - k);
      std::memmove(&freq[k + 1], &freq[k], l * sizeof(uint16_t));
      freq[k] = static_cast<uint16_t>(f);
      std::memmove(&son[k + 1], &son[k], l * sizeof(uint16_t));
      son[k] = static_cast<uint16_t>(i);
    }
    for (int i = 0; i < T; i++) {
      int k = son[i];
      prnt[k] = static_cast<uint16_t>(i);
      if (k < T) prnt[k + 1] = static_cast<uint16_t>(i);
    }
  }

  void Update(int c) {
    if (freq[R] == MAX_FREQ) Reconst();
    c = prnt[c + T];
    do {
      unsigned k = ++freq[c];
      if (k > freq[c + 1]) {
        int l = c + 1;
        while (k > freq[l + 1]) l++;
        freq[c] = freq[l];
        freq[l] = static_cast<uint16_t>(k);
        int i = son[c];
        prnt[i] = static_cast<uint16_t>(l);
        if (i < T) prnt[i + 1] = static_cast<uint16_t>(l);
        int j = son[l];
        son[l] = static_cast<uint16_t>(i);
        prnt[j] = static_cast<uint16_t>(c);
        if (j < T) prnt[j + 1] = static_cast<uint16_t>(c);
        son[c] = static_cast<uint16_t>(j);
        c = l;
      }
    } while ((c = prnt[c]) != 0);
  }

  void Fill() {
    unsigned keep = 256 - inIndex;
    std::memmove(inBuf, inBuf + inIndex, keep);
    uint16_t got = 0;
    (*read)(inBuf + keep, static_cast<uint16_t>(inIndex), got);
    if (got > inIndex) got = static_cast<uint16_t>(inIndex);
    std::memset(inBuf + keep + got, 0, inIndex - got);
    inIndex = 0;
  }

  int GetBit() {
    if (inIndex >= 256) Fill();
    int b = (inBuf[inIndex] >> (7 - bitIndex)) & 1;
    if (++bitIndex == 8) {
      bitIndex = 0;
      inIndex++;
    }
    return b;
  }

  int DecodeChar() {
    unsigned c = son[R];
    while (c < T) c = son[c + GetBit()];
    c -= T;
    Update(static_cast<int>(c));
    return static_cast<int>(c);
  }

  int DecodePosition() {
    unsigned w = 0;
    // Peek 16 bits: read them and step back.
    unsigned saveIndex = inIndex, saveBit = bitIndex;
    for (int k = 0; k < 16; k++) w = (w << 1) | static_cast<unsigned>(GetBit());
    inIndex = saveIndex;
    bitIndex = saveBit;
    unsigned i = w >> 8;
    unsigned n = dLen[i];
    for (unsigned k = 0; k < n + 6; k++) GetBit();
    return static_cast<int>((static_cast<unsigned>(dCode[i]) << 6) | ((w >> (10 - n)) & 0x3F));
  }

  void Put(unsigned count) {
    uint16_t taken;
    (*write)(ring, static_cast<uint16_t>(count), taken);
  }
};

}  // namespace

void LZHDecode(int32_t plainLength, const TLZHReadProc& read, const TLZHWriteProc& write) {
  auto s = std::make_unique<State>();
  s->read = &read;
  s->write = &write;
  s->Tables();
  std::memset(s->inBuf, 0, sizeof(s->inBuf));
  std::memset(s->ring, 0, sizeof(s->ring));
  s->StartHuff();
  for (int i = N - F; i < N; i++) s->ring[i] = ' ';
  s->inIndex = 256;
  s->bitIndex = 0;
  int r = 0;
  int64_t count = 0;
  while (count < plainLength) {
    if (s->inIndex >= 254) s->Fill();
    int c = s->DecodeChar();
    if (c < 256) {
      s->ring[r++] = static_cast<uint8_t>(c);
      r &= (N - 1);
      if (r == 0) s->Put(N);
      count++;
    } else {
      if (s->inIndex >= 254) s->Fill();
      int i = (r - s->DecodePosition() - 1) & (N - 1);
      int j = c - 255 + THRESHOLD;
      for (int k = 0; k < j; k++) {
        s->ring[r++] = s->ring[(i + k) & (N - 1)];
        r &= (N - 1);
        if (r == 0) s->Put(N);
        count++;
      }
    }
  }
  if (r > 0) s->Put(static_cast<unsigned>(r));
}

}  // namespace ztv::reference
