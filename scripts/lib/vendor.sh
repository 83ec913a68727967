# A vendor's own bundle completed by the image build, sourced by scripts/e2e: vendor-image (its own
# ctest entry). The small Qt Quick program of tests/e2e/vendor_app is built in the scenario's folder,
# outside the project's tree, as a foreign bundle that runs only on the system's Qt: no libraries,
# plugins, QML modules or qt.conf of its own beyond its one library in Contents/Frameworks. A second
# build tree of the project is configured (not built) with it as VANTOREL_PAYLOAD_BUNDLE,
# VANTOREL_COMPLETE_PAYLOAD on, a vendor's own signing key and the QML module QtQuick.Layouts beyond
# the demo's; the image is made from that tree's settings by the script `make image` runs, with the
# installer and the signing tool of the build tree under test (built with the same bundle
# identifier), which saves building the project a second time. The payload in the image is intact
# and signed with the vendor's key; installed from the image with the system's Qt hidden (from-image),
# the program shows its window and maps its own library, QtQuick.Layouts and Qt only from its
# installed bundle.

vendor_build_image() {
  local source identifier app="$home/vendor-app" tree="$home/vendor-build"
  source=$(cd "$(dirname "$0")/.." && pwd)
  identifier=$(sed -n 's/^VANTOREL_BUNDLE_ID:STRING=//p' "$build/CMakeCache.txt")
  cmake -S "$source/tests/e2e/vendor_app" -B "$app" -DPROBE_BUNDLE_ID="$identifier" &&
    cmake --build "$app" &&
    "$build/bin/bundle-sign" keygen "$home/vendor-key.pem" &&
    cmake -S "$source" -B "$tree" -DBUILD_TESTING=OFF -DVANTOREL_BUILD_BENCHMARKS=OFF \
      -DVANTOREL_BUILD_FUZZERS=OFF -DVANTOREL_BUNDLE_ID="$identifier" \
      -DVANTOREL_PAYLOAD_BUNDLE="$app/Probe.app" -DVANTOREL_COMPLETE_PAYLOAD=ON \
      -DVANTOREL_SIGNING_KEY="$home/vendor-key.pem" -DVANTOREL_PAYLOAD_EXTRA_QML_MODULES=QtQuick/Layouts ||
    return 1
  cat >"$home/vendor-image.cmake" <<EOF
include([[$tree/disk-image-settings.cmake]])
set(INSTALLER_BUNDLE [[$build/Instalator Vantorel.app]])
set(SIGN_TOOL [[$build/bin/bundle-sign]])
EOF
  cmake -DSETTINGS="$home/vendor-image.cmake" -P "$source/cmake/MakeDiskImage.cmake"
}

# The raw Ed25519 public key of a PEM private key, as Contents/_CodeSignature/PublicKey holds it.
public_key_of() { openssl pkey -in "$1" -pubout -outform DER | tail -c 32 | od -An -tx1 | tr -d ' \n'; }

vendor-image() {
  # shellcheck disable=SC2034  # read by in_private_namespace
  local image_builder=vendor_build_image image_file="$home/vendor-build/Instalator Vantorel.img"
  local payload_in_image="$home/vendor-build/image/root/Instalator Vantorel.app/Contents/Resources/Payload/Vantorel.app"
  # The names to find mapped from the installed bundle: the vendor's library, the extra module.
  in_private_namespace from-image-isolated app_maps="libprobe_words\.so libQt6QuickLayouts\.so Layouts/libqquicklayoutsplugin\.so"
  [[ -f "$image_file" ]] || return 0  # the build failed or the run was skipped: said already
  [[ "$("$build/bin/bundle-sign" verify "$payload_in_image" 2>&1)" == valid ]] ||
    fail "the payload in the image is not intact"
  [[ "$(od -An -tx1 "$payload_in_image/Contents/_CodeSignature/PublicKey" | tr -d ' \n')" == "$(public_key_of "$home/vendor-key.pem")" ]] ||
    fail "the payload in the image is not signed with the vendor's key"
  # A bundle whose identifier the installer would reject stops the image build before anything is made.
  cat >"$home/mismatch.cmake" <<EOF
include([[$home/vendor-image.cmake]])
set(BUNDLE_ID com.example.other)
set(STAGING [[$home/mismatch]])
set(IMAGE [[$home/mismatch.img]])
EOF
  if cmake -DSETTINGS="$home/mismatch.cmake" -P "$(dirname "$0")/../cmake/MakeDiskImage.cmake" >"$home/mismatch.log" 2>&1; then
    fail "an image was made for a bundle whose identifier the installer rejects"
  fi
  grep -q "but the installer accepts only 'com.example.other'" "$home/mismatch.log" ||
    fail "the image build did not name the identifier the installer accepts: $(tail -3 "$home/mismatch.log")"
  [[ ! -e "$home/mismatch" ]] || fail "the refused image build made $home/mismatch"
}
