# Writes Debian's copyright file for zamrik-pack: cmake -DOUTPUT= -DLICENSE= -DNOTICES= -P this.
file(READ "${LICENSE}" license)
file(READ "${NOTICES}" notices)
file(WRITE "${OUTPUT}" "zamrik-pack, of Zamrik onefile

zamrik-pack and the launcher and runner it carries are under the zlib license:

${license}
The launcher image that zamrik-pack carries, and so every executable it writes, contains code
of others. What follows is THIRD-PARTY-NOTICES.txt; every packed executable carries this text too.

${notices}")
