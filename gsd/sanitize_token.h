// Makes a free-text value safe for one GSD header line.
#pragma once

// Copies source into dest (which holds strlen(source) + 1 bytes), replacing
// every byte outside 0x21..0x7E (controls, space, DEL, 0x80 and above) by '_'.
void SanitizeToken(const char* source, char* dest);
