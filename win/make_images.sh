#!/usr/bin/env bash
# Regenerates the program icon (106) and the About picture (133) with
# ImageMagick. The outputs are committed; run this only to change them.
set -euo pipefail
cd "$(dirname "$0")"

chip() { # size: a chip package with pins on a blue square
  local s=$1 m=$(( $1 / 5 )) p=$(( $1 / 10 ))
  local draw="fill #1c3f7a roundrectangle 0,0 $((s-1)),$((s-1)) $p,$p fill #dfe6ee"
  local i step=$(( (s - 2*m) / 4 ))
  for i in 0 1 2 3; do
    local x=$(( m + i*step + step/4 ))
    draw+=" rectangle $x,$((m-p)) $((x+step/2)),$m rectangle $x,$((s-m)) $((x+step/2)),$((s-m+p))"
    draw+=" rectangle $((m-p)),$x $m,$((x+step/2)) rectangle $((s-m)),$x $((s-m+p)),$((x+step/2))"
  done
  draw+=" fill #2b2b2b rectangle $m,$m $((s-m)),$((s-m)) fill #f5b800 circle $((m+p+1)),$((m+p+1)) $((m+p+1)),$((m+2))"
  convert -size "${s}x${s}" xc:none -draw "$draw" "png32:chip-$s.png"
}
for s in 16 32 48; do chip "$s"; done
convert chip-16.png chip-32.png chip-48.png TidewireSTM32Utility.ico
rm -f chip-16.png chip-32.png chip-48.png

# About picture: 415 x 246 dialog units of MS Shell Dlg 8 pt are about
# 622 x 400 pixels; 8-bit RLE keeps the committed file small.
convert -size 622x400 gradient:'#0f2a55-#2c6fb5' \
  -fill '#ffffff' -font Helvetica-Bold -pointsize 44 -gravity northwest -annotate +40+60 'Tidewire' \
  -fill '#ffffff' -font Helvetica -pointsize 30 -annotate +40+115 'STM32 Utility' \
  -fill '#f5b800' -draw 'rectangle 40,165 300,169' \
  -fill '#dfe6ee' -font Helvetica -pointsize 16 \
  -annotate +40+190 'Upload, download and erase the internal flash' \
  -annotate +40+212 'of STM32 boards in USB DFU bootloader mode.' \
  -fill '#1c3f7a' -draw 'roundrectangle 420,90 580,250 12,12' \
  -fill '#2b2b2b' -draw 'rectangle 445,115 555,225' \
  -fill '#f5b800' -draw 'circle 460,130 460,136' \
  +dither -colors 64 -type Palette -compress RLE BMP3:about.bmp
