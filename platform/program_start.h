// What every program of the product does first, before it reads an argument
// or writes a byte: its standard streams carry bytes unchanged, and its
// arguments are UTF-8, the product's text, whatever the system's own.
#pragma once

// Standard input, output and error pass bytes as they are: no CR put before
// each LF written, none taken out of what is read, no end of input at a
// 0x1A byte (a Windows C library's text mode does all three). argc and argv
// are replaced by the arguments as UTF-8 where the system hands them in
// another encoding (Windows: from its UTF-16 command line); the new ones
// live as long as the program.
void StartProgram(int& argc, char**& argv);
