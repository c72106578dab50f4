#include "gsd/sanitize_token.h"

void SanitizeToken(const char* source, char* dest) {
  for (; *source != '\0'; ++source, ++dest) {
    unsigned char c = static_cast<unsigned char>(*source);
    *dest = (c >= 0x21 && c <= 0x7E) ? static_cast<char>(c) : '_';
  }
  *dest = '\0';
}
