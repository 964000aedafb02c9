#!/usr/bin/env bash
# Remakes the generated seed inputs of the fuzz targets in tests/fuzz/corpus/ from our own
# writers: make-site (a tiny client and planet folder: the manifest, the update packages, the
# server list, the descriptor table and the planet list) and make_fuzz_seeds (the rest).
# Usage: tests/fuzz/make-fuzz-seeds.sh BUILD_DIR   (a build with make-site and make_fuzz_seeds)
set -euo pipefail
BUILD=$(cd "$1" && pwd)
cd "$(dirname "$0")"
CORPUS=$(pwd)/corpus
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

mkdir -p "$WORK/client/bin" "$WORK/planets/Alpha/Ares/maps" "$WORK/planets/Beta/Boreas"
printf 'launcher' > "$WORK/client/bin/solvenda.bin"
printf 'readme\n' > "$WORK/client/readme.txt"
printf 'map of ares' > "$WORK/planets/Alpha/Ares/maps/m1.map"
printf 'terrain terrain terrain terrain' > "$WORK/planets/Alpha/Ares/t.dat"
printf 'b' > "$WORK/planets/Beta/Boreas/b.dat"
"$BUILD/tools/make-site/make-site" --client "$WORK/client" --out "$WORK/site" --version 15.5.0.1 \
    --planets "$WORK/planets" --server http://content1.example/dc --server https://content2.example:8443/ >/dev/null

mkdir -p "$CORPUS"/{fuzz_file_list,fuzz_server_list,fuzz_zip_extractor,fuzz_zip_open,fuzz_file_descriptors,fuzz_planet_list}
cp "$WORK/site/client_files.xml" "$CORPUS/fuzz_file_list/site-manifest.xml"
cp "$WORK/site/download_servers.xml" "$CORPUS/fuzz_server_list/site-servers.xml"
find "$WORK/site/client_files" -name '*.zip' | sort | head -2 | while read -r zip; do
    cp "$zip" "$CORPUS/fuzz_zip_extractor/site-$(basename "$zip")"
    cp "$zip" "$CORPUS/fuzz_zip_open/site-$(basename "$zip")"
done
PROGRAM_DATA=$(find "$WORK/client" -name planet_list.xbc -printf '%h\n')
cp "$PROGRAM_DATA/planet_list.xbc" "$CORPUS/fuzz_planet_list/site-planet_list.xbc"
for table in "$PROGRAM_DATA"/file_descs/*.xbc; do
    cp "$table" "$CORPUS/fuzz_file_descriptors/site-$(basename "$table")"
done

"$BUILD/tests/fuzz/make_fuzz_seeds" "$CORPUS"
