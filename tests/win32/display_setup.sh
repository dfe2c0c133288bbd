#!/bin/bash
# Sets the sandbox's screen up before Wine starts (PELLMARK_WINE_SETUP):
# PELLMARK_TEST_LOGPIXELS pixels per logical inch (120: large fonts).
set -euo pipefail
prefix=$1
if [ -n "${PELLMARK_TEST_LOGPIXELS:-}" ]; then
    hex=$(printf '%08x' "$PELLMARK_TEST_LOGPIXELS")
    printf '\n[Control Panel\\\\Desktop]\n"LogPixels"=dword:%s\n' "$hex" >>"$prefix/user.reg"
    printf '\n[System\\\\CurrentControlSet\\\\Hardware Profiles\\\\Current\\\\Software\\\\Fonts]\n"LogPixels"=dword:%s\n' \
        "$hex" >>"$prefix/system.reg"
fi
# PELLMARK_TEST_HIGH_CONTRAST=1: the system colours of High Contrast Black.
if [ "${PELLMARK_TEST_HIGH_CONTRAST:-0}" = 1 ]; then
    {
        printf '\n[Control Panel\\\\Colors]\n'
        for pair in ActiveBorder=255,255,0 ActiveTitle=128,0,128 AppWorkSpace=0,0,0 Background=0,0,0 \
            ButtonAlternateFace=0,0,0 ButtonDkShadow=255,255,255 ButtonFace=0,0,0 ButtonHilight=255,255,255 \
            ButtonLight=192,192,192 ButtonShadow=128,128,128 ButtonText=255,255,255 \
            GradientActiveTitle=128,0,128 GradientInactiveTitle=0,128,0 GrayText=0,255,0 Hilight=128,0,128 \
            HilightText=255,255,255 HotTrackingColor=0,0,255 InactiveBorder=0,255,255 InactiveTitle=0,128,0 \
            InactiveTitleText=255,255,255 InfoText=255,255,255 InfoWindow=0,0,0 Menu=0,0,0 MenuBar=0,0,0 \
            MenuHilight=128,0,128 MenuText=255,255,255 Scrollbar=0,0,0 TitleText=255,255,255 Window=0,0,0 \
            WindowFrame=255,255,255 WindowText=255,255,255; do
            printf '"%s"="%s"\n' "${pair%%=*}" "$(echo "${pair#*=}" | tr , ' ')"
        done
    } >>"$prefix/user.reg"
fi
