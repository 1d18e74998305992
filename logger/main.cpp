// Placeholder entry until the logger lands.
#include <cstdio>
int main() { std::printf("temp: not built yet\n"); return 0; }
