#!/bin/sh
# Starts the Android-like peers of one release and returns once every one is up and
# registered: the managers of binder and vndbinder in that release's flavour, the hidl
# manager of hwbinder, the sample services on all three (on hwbinder a 32-bit one too), and
# two client processes, holder.one and holder.two, that hold a reference on the sample service of binder (left out
# with it). Each peer returns only when it is ready, so no client (and no later peer) ever
# meets a missing context manager.
#
#   start-peers.sh RELEASE [PEER | +EXTRA]...
#
# RELEASE is 9, 10, 11, 12, 15, 15r6 or 16: the flavour of the managers and of every peer
# that talks to them (15 is Android 15 before r6, 15r6 from r6 on; both are SDK 35, with
# two numberings of the manager's methods). Each PEER named is left out (for a machine that
# needs, say, an empty vndbinder); each +EXTRA is a peer that is started only when asked for:
#   mortal  a service that quits when grim tells it to
#   grim    a service whose first interface query makes mortal quit and waits until the
#           manager has let mortal go: a service that dies between the list and the lookup
#   hostile services that answer what no honest one sends (see hostile.cpp): hostile and
#           hostile.mortal, two processes, so that the second may die in a call while the
#           first lives on
#   evil    the evil.* names, whose interfaces are paths, hold "..", control characters or
#           5000 characters
#   hostile-managers
#           the managers themselves lie: binder's listing announces more names than it
#           holds (per index: a name longer than its reply), vndbinder's lists 5000 names
#           more than were registered, and each list of hwbinder's answers a record that
#           points outside the buffers it sent
#   hostile-hidl
#           hidl.liar, a HIDL service whose replies lie once it is registered
#   dumpers dump.block, dump.hold, dump.mib and dump.slow, whose dumps never answer, keep
#           the descriptor open, write 1 MiB, or take 300 ms
#   vendor=R
#           the vendor partition is of release R, older than the system's: vndbinder's
#           manager and service speak R, and /vendor/build.prop says R's SDK level
#
# The peers keep running in the background; their logs are in /tmp/peers.

release=$1
shift
vendor=$release
without=" "
with=" "
for word; do
	case $word in
	+mortal | +grim | +hostile | +evil | +hostile-managers | +dumpers | +hostile-hidl) with="$with${word#+} " ;;
	+vendor=*) vendor=${word#+vendor=} ;;
	+*)
		echo "start-peers.sh: no such extra peer: '${word#+}' (mortal, grim, hostile, evil, hostile-managers, dumpers or hostile-hidl)" >&2
		exit 2
		;;
	*) without="$without$word " ;;
	esac
done
case "$release" in
9 | 10 | 11 | 12 | 15 | 15r6 | 16) ;;
*)
	echo "start-peers.sh: no such Android release: '$release' (9, 10, 11, 12, 15, 15r6 or 16)" >&2
	exit 2
	;;
esac
case "$vendor" in
9) vendor_sdk=28 ;; 10) vendor_sdk=29 ;; 11) vendor_sdk=30 ;; 12) vendor_sdk=31 ;; 15 | 15r6) vendor_sdk=35 ;; 16) vendor_sdk=36 ;;
*)
	echo "start-peers.sh: no such vendor release: '$vendor'" >&2
	exit 2
	;;
esac
mkdir -p /vendor && echo "ro.vendor.build.version.sdk=$vendor_sdk" >/vendor/build.prop || exit 1
here=$(cd "$(dirname "$0")" && pwd)
logs=/tmp/peers
mkdir -p "$logs" || exit 1

# start LOG PROGRAM ARGS...: a peer fails with its own message on standard error.
start() {
	case "$without" in *" $1 "*) return 0 ;; esac
	log=$logs/$1.log
	shift
	"$@" --detach --log "$log" && return 0
	echo "start-peers.sh: Android $release: could not start $*" >&2
	exit 1
}

# hold NAME: a client process called NAME (argv[0] and comm alike) that keeps a reference on
# the sample service.
hold() {
	case "$without" in *" $1 "* | *" sample "*) return 0 ;; esac
	ln -sf peer-client "$here/$1" || exit 1
	(exec -a "$1" "$here/$1" --release "$release" --device /dev/binder hold sample --detach --log "$logs/$1.log") &&
		return 0
	echo "start-peers.sh: Android $release: could not start $1 holding sample" >&2
	exit 1
}

# extra LOG PROGRAM ARGS...: as start, for a peer that runs only when asked for.
extra() {
	case "$with" in *" $1 "*) start "$@" ;; esac
}

# The managers' own lies, only for the boots that ask for them.
liar="" crowd="" hwliar=""
case "$with" in *" hostile-managers "*) liar=--lie crowd="--crowd 1500" hwliar=--lie ;; esac
# shellcheck disable=SC2086 # each option is its own words, or none
start servicemanager "$here/peer-servicemanager" --release "$release" --device /dev/binder $liar
# shellcheck disable=SC2086
start vndservicemanager "$here/peer-servicemanager" --release "$vendor" --device /dev/vndbinder --vendor $crowd
# shellcheck disable=SC2086
start hwservicemanager "$here/peer-hwservicemanager" --device /dev/hwbinder $hwliar

start sample "$here/peer-service" --release "$release" --device /dev/binder \
	--interface com.example.vorn.ISample --name sample:8 --name sample.critical:17
# A service whose interface has no AIDL file on the machine.
start hidden "$here/peer-service" --release "$release" --device /dev/binder \
	--interface com.example.vorn.IHidden --name hidden
hold holder.one
hold holder.two
start vendor.sample "$here/peer-service" --release "$vendor" --device /dev/vndbinder --vendor \
	--interface com.example.vorn.IVendorSample --name vendor.sample:8
start hidl.sample "$here/peer-service" --hidl --device /dev/hwbinder \
	--interface vendor.example.sample@1.0::ISample --name default
# Its minor version, which declares one method more and inherits the rest: those take the
# token of 1.0, which declares them.
start hidl.sample11 "$here/peer-service" --hidl --device /dev/hwbinder \
	--interface vendor.example.sample@1.1::ISample --name default
# A 32-bit build of 1.0, as a device's older HALs are: its DebugInfo says so.
start hidl.sample32 "$here/peer-service32" --hidl --device /dev/hwbinder \
	--interface vendor.example.sample@1.0::ISample --name 32bit

# Last, so that the other names keep their places. The managers of 9 and 10 list the newest
# registration first: mortal is registered before grim so that grim is listed before it (on
# 11 and later the names are in name order, where grim comes first anyway).
extra mortal "$here/peer-service" --release "$release" --device /dev/binder \
	--interface com.example.vorn.IMortal --name mortal
extra grim "$here/peer-service" --release "$release" --device /dev/binder \
	--interface com.example.vorn.IGrim --name grim --reap mortal
case "$with" in *" hostile "*)
	start hostile "$here/peer-hostile" --release "$release" --device /dev/binder --name hostile
	start hostile.mortal "$here/peer-hostile" --release "$release" --device /dev/binder --name hostile.mortal
	;;
esac
extra evil "$here/peer-hostile" --release "$release" --device /dev/binder --evil
# A HIDL service that lies in its replies once registered (see peer-service's --lie).
case "$with" in *" hostile-hidl "*)
	start hidl.liar "$here/peer-service" --hidl --device /dev/hwbinder \
		--interface vendor.example.liar@1.0::ILiar --name default --lie
	;;
esac
# Dumps that are hard to wait for (see peer-service's --dump).
case "$with" in *" dumpers "*)
	for mode in block hold mib slow; do
		start dump.$mode "$here/peer-service" --release "$release" --device /dev/binder \
			--interface com.example.vorn.IHidden --name dump.$mode --dump $mode
	done
	;;
esac
exit 0
