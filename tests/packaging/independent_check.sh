#!/usr/bin/env bash
# Checks of the shipped module by readers that are not ours (Debian's uefitool-cli and
# coreboot-utils). Run by CTest:
#   independent_check.sh uefiextract UEFIEXTRACT VOLUME TE WORK
#   independent_check.sh cbfstool UEFIEXTRACT CBFSTOOL COMPONENT_WRAP PEIBOARD IMAGE.efi IMAGE.map WORK
#   independent_check.sh align32 FWPACK PEIBOARD IMAGE.efi IMAGE.map WORK SCENARIO...
# The cbfstool check leaves WORK/moved.fv, the volume moved to another flash address. The
# align32 check packs the image on a 32-byte boundary and checks the scenarios on it.
set -euo pipefail

fail() { echo "FAIL: $*" >&2; exit 1; }

MODULE_GUID=760DFC9B-F12F-45E5-B1F2-1C68605B3439
PCD_PPI_GUID=06E81C58-4AD7-44BC-8390-F10265F72480
NAME=QuarnelPeiSystemBoardOverride

# UEFIExtract exits 0 even on errors: everything it says, but the remark every volume without
# a reset-vector file draws, is a fault it found.
uefiextract_messages() {  # VOLUME: dumps it beside itself, prints the unexpected messages
  local volume=$1
  rm -rf "$volume.dump"
  (cd "$(dirname "$volume")" && "$UEFIEXTRACT" "$(basename "$volume")" all 2>&1) |
    grep -v 'not a single Volume Top File is found' | grep -v '^[[:space:]]*$' || true
}

# The fields of a dumped item's info.txt, and the item itself by the end of its folder name.
info_of() { find "$1.dump" -path "*$2/info.txt" | head -n 1; }
expect_line() {  # FILE REGEX WHAT
  [[ -n "$1" && -f "$1" ]] || fail "UEFIExtract dumped no $3"
  grep -Eq "$2" "$1" || fail "UEFIExtract: $3: no line matching '$2' in $1:
$(cat "$1")"
}

check_volume() {  # VOLUME DATA_CHECKSUM(yes|no)
  local volume=$1 messages
  messages=$(uefiextract_messages "$volume")
  [[ -z "$messages" ]] || fail "UEFIExtract on $volume says:
$messages"
  local volume_info file_info
  volume_info=$(find "$volume.dump" -maxdepth 2 -path '*8C8CE578-8A3D-4F1C-9935-896185C32DD3/info.txt' | head -n 1)
  expect_line "$volume_info" '^Checksum: [0-9A-F]+h, valid$' "volume header checksum"
  expect_line "$volume_info" '^Erase polarity: 1$' "volume erase polarity"
  file_info=$(info_of "$volume" " $NAME")
  expect_line "$file_info" "^File GUID: $MODULE_GUID\$" "module file name"
  expect_line "$file_info" '^Type: 06h$' "module file type"
  expect_line "$file_info" '^Header checksum: [0-9A-F]+h, valid$' "file header checksum"
  if [[ $2 == yes ]]; then
    expect_line "$file_info" '^Attributes: 40h$' "file attributes"
    expect_line "$file_info" '^Data checksum: [0-9A-F]+h, valid$' "file data checksum"
  fi
  local depex ui version
  depex=$(info_of "$volume" "$NAME/0 PEI dependency section")
  expect_line "$depex" "^PUSH $PCD_PPI_GUID\$" "dependency expression"
  [[ $(sed -n '/^Parsed expression:/,$p' "$depex" | sed 1d) == "PUSH $PCD_PPI_GUID"$'\n'"END" ]] ||
    fail "dependency expression is not PUSH the PCD PPI, END: $(cat "$depex")"
  ui=$(find "$volume.dump" -path "*$NAME/* UI section/info.txt" | head -n 1)
  expect_line "$ui" "^Text: $NAME\$" "user interface name"
  version=$(find "$volume.dump" -path "*$NAME/* Version section/info.txt" | head -n 1)
  expect_line "$version" '^Version string: 1\.0$' "version string"
  expect_line "$version" '^Build number: 1$' "build number"
}

te_body_of() { find "$1.dump" -path "*$NAME/* TE image section/body.bin" | head -n 1; }

case ${1:-} in
  uefiextract)
    UEFIEXTRACT=$2 VOLUME=$3 TE=$4 WORK=$5
    rm -rf "$WORK" && mkdir -p "$WORK"
    cp "$VOLUME" "$WORK/module.fv"
    check_volume "$WORK/module.fv" yes
    body=$(te_body_of "$WORK/module.fv")
    [[ -n "$body" ]] || fail "UEFIExtract extracted no TE image section"
    cmp "$body" "$TE" || fail "the TE body UEFIExtract extracted differs from $TE"
    # The check itself must see a fault: one byte of the image changed in a copy.
    cp "$VOLUME" "$WORK/corrupt.fv"
    printf '\x5A' | dd of="$WORK/corrupt.fv" bs=1 seek=$((0x2000)) conv=notrunc status=none
    cmp -s "$VOLUME" "$WORK/corrupt.fv" && fail "the corrupted copy equals the volume"
    [[ -n $(uefiextract_messages "$WORK/corrupt.fv") ]] ||
      fail "UEFIExtract said nothing about a corrupted data byte: this check sees no faults"
    echo "UEFIExtract: volume and file checksums valid, depex, name and version read, TE body identical"
    ;;
  cbfstool)
    UEFIEXTRACT=$2 CBFSTOOL=$3 COMPONENT_WRAP=$4 PEIBOARD=$5 IMAGE=$6 MAP=$7 WORK=$8
    FROM=0xFFF00000 TO=0xFFE80000
    rm -rf "$WORK" && mkdir -p "$WORK"
    "$COMPONENT_WRAP" "$IMAGE" "$WORK/wrapped.fv" "$FROM"
    described=$("$PEIBOARD" image "$WORK/wrapped.fv" --map "$MAP")
    grep -q "^base       $FROM\$" <<< "$described" || fail "the wrapped image is not at $FROM"
    # A 2 MiB flash (0xFFE00000 up), the volume executing in place at TO.
    "$CBFSTOOL" "$WORK/flash.rom" create -m x86 -s 0x200000 > /dev/null
    # Added as cbfstool's type for relocatable component volumes, the only volumes it moves.
    "$CBFSTOOL" "$WORK/flash.rom" add -f "$WORK/wrapped.fv" -n component -t fsp -b "$TO" --xip
    "$CBFSTOOL" "$WORK/flash.rom" extract -n component -f "$WORK/moved.fv" -m x86 > /dev/null
    cmp -s "$WORK/wrapped.fv" "$WORK/moved.fv" && fail "cbfstool left the volume unchanged"
    check_volume "$WORK/moved.fv" no
    described=$("$PEIBOARD" image "$WORK/moved.fv" --map "$MAP")
    grep -q "^base       $TO\$" <<< "$described" || fail "the moved image is not at $TO:
$described"
    grep -q "^placed     at $TO " <<< "$described" || fail "the moved volume is not at $TO"
    # The debug file maps the moved code to the same source lines, so the traces agree.
    debug="${IMAGE%.efi}.debug.elf"
    "$PEIBOARD" run --json --trace --image "$IMAGE" --map "$MAP" --debug-file "$debug" \
        > "$WORK/original.json"
    "$PEIBOARD" run --json --trace --image "$WORK/moved.fv" --map "$MAP" --debug-file "$debug" \
        > "$WORK/moved.json"
    diff "$WORK/original.json" "$WORK/moved.json" > "$WORK/report.diff" ||
      fail "the moved volume boots differently:
$(head -n 40 "$WORK/report.diff")"
    echo "cbfstool: volume moved from $FROM to $TO; the board's report is the original's"
    ;;
  align32)
    FWPACK=$2 PEIBOARD=$3 IMAGE=$4 MAP=$5 WORK=$6
    shift 6
    rm -rf "$WORK" && mkdir -p "$WORK"
    "$FWPACK" "$IMAGE" --image-align 32 --te "$WORK/m.te" --ffs "$WORK/m.ffs" --fv "$WORK/m.fv"
    described=$("$PEIBOARD" image "$WORK/m.fv" --map "$MAP")
    # The TE header stays at its place in the volume; the base lands 0xC0 before the volume.
    grep -q '^base       0xFFEFFF40$' <<< "$described" || fail "the image is not at 0xFFEFFF40:
$described"
    "$PEIBOARD" check --image "$WORK/m.fv" --map "$MAP" "$@"
    ;;
  *)
    echo "usage: $0 uefiextract|cbfstool|align32 ..." >&2
    exit 2
    ;;
esac
