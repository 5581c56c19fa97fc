// moh-convert: renames and converts the music-on-hold library of an Asterisk server. Takes no
// arguments and reads no configuration; everything it works on is a fixed path.
#include <cstdio>

#include "walk.h"

int main() {
    const moh::Settings settings = moh::fixed_settings();
    moh::Log log(stdout);
    moh::ShellRunner runner;
    return moh::run_walk({settings, log, runner});
}
