// A client built on the Go SMB2 library: logs on, lists the shares, walks
// one share and reads every file whole and in ranges, comparing each byte
// with the host folder the share serves. Exits 1 at the first difference.
//
// usage: gosmb2 -addr HOST:PORT -user NAME -pass PASS -share NAME -root DIR -shares A,B
package main

import (
	"bytes"
	"errors"
	"flag"
	"fmt"
	"io"
	"net"
	"os"
	"path/filepath"
	"sort"
	"strings"
	"time"

	"github.com/hirochachacha/go-smb2"
)

func fail(format string, args ...interface{}) {
	fmt.Fprintf(os.Stderr, "gosmb2: "+format+"\n", args...)
	os.Exit(1)
}

// Every file and folder under root, as share paths with their sizes
// (folders as -1).
func hostTree(root string) map[string]int64 {
	out := map[string]int64{}
	err := filepath.Walk(root, func(p string, fi os.FileInfo, err error) error {
		if err != nil {
			return err
		}
		rel, _ := filepath.Rel(root, p)
		if rel == "." {
			return nil
		}
		size := int64(-1)
		if !fi.IsDir() {
			size = fi.Size()
		}
		out[strings.ReplaceAll(rel, "/", `\`)] = size
		return nil
	})
	if err != nil {
		fail("walking %s: %v", root, err)
	}
	return out
}

func shareTree(fs *smb2.Share, dir string, out map[string]int64) {
	fis, err := fs.ReadDir(dir)
	if err != nil {
		fail("ReadDir(%q): %v", dir, err)
	}
	for _, fi := range fis {
		p := fi.Name()
		if dir != "" {
			p = dir + `\` + p
		}
		if fi.IsDir() {
			out[p] = -1
			shareTree(fs, p, out)
		} else {
			out[p] = fi.Size()
		}
	}
}

// Ranges at the start, inside, across and past the end, each compared with
// what the host file holds there.
func checkRanges(fs *smb2.Share, name string, want []byte) {
	f, err := fs.Open(name)
	if err != nil {
		fail("Open(%q): %v", name, err)
	}
	defer f.Close()
	fi, err := f.Stat()
	if err != nil {
		fail("Stat(%q): %v", name, err)
	}
	if fi.Size() != int64(len(want)) {
		fail("Stat(%q): size %d, want %d", name, fi.Size(), len(want))
	}
	size := int64(len(want))
	for _, off := range []int64{0, 1, size / 3, size - 1, size, size + 1, size + 1<<20} {
		for _, n := range []int{1, 100, 65536, 70000, 1<<20 + 3} {
			if off < 0 {
				continue
			}
			buf := make([]byte, n)
			got, err := f.ReadAt(buf, off)
			end := off + int64(n)
			if end > size {
				end = size
			}
			expect := []byte{}
			if off < size {
				expect = want[off:end]
			}
			if got < 0 || !bytes.Equal(buf[:max(got, 0)], expect) {
				fail("ReadAt(%q, %d bytes at %d): %d bytes differ from the host's %d", name, n, off, got, len(expect))
			}
			switch {
			case off >= size && err != io.EOF:
				fail("ReadAt(%q) at %d of %d: %v, want io.EOF", name, off, size, err)
			case off < size && err != nil && err != io.EOF:
				fail("ReadAt(%q, %d bytes at %d): %v", name, n, off, err)
			}
		}
	}
}

func max(a, b int) int {
	if a > b {
		return a
	}
	return b
}

func main() {
	addr := flag.String("addr", "", "server address")
	user := flag.String("user", "", "account")
	pass := flag.String("pass", "", "password")
	share := flag.String("share", "", "share to walk")
	root := flag.String("root", "", "host folder the share serves")
	shares := flag.String("shares", "", "every share the server lists, comma-separated")
	flag.Parse()

	conn, err := net.DialTimeout("tcp", *addr, 10*time.Second)
	if err != nil {
		fail("dial: %v", err)
	}
	defer conn.Close()
	// Nothing here may wait on the server for ever.
	conn.SetDeadline(time.Now().Add(120 * time.Second))
	d := &smb2.Dialer{Initiator: &smb2.NTLMInitiator{User: *user, Password: *pass}}
	s, err := d.Dial(conn)
	if err != nil {
		fail("logon as %q: %v", *user, err)
	}
	defer s.Logoff()

	names, err := s.ListSharenames()
	if err != nil {
		fail("ListSharenames: %v", err)
	}
	sort.Strings(names)
	want := strings.Split(*shares, ",")
	sort.Strings(want)
	if strings.Join(names, ",") != strings.Join(want, ",") {
		fail("shares %v, want %v", names, want)
	}

	fs, err := s.Mount(*share)
	if err != nil {
		fail("Mount(%q): %v", *share, err)
	}
	defer fs.Umount()
	got := map[string]int64{}
	shareTree(fs, "", got)
	host := hostTree(*root)
	if fmt.Sprint(got) != fmt.Sprint(host) {
		fail("tree %v, want %v", got, host)
	}

	files := 0
	for name, size := range host {
		if size < 0 {
			continue
		}
		data, err := os.ReadFile(filepath.Join(*root, strings.ReplaceAll(name, `\`, "/")))
		if err != nil {
			fail("host: %v", err)
		}
		whole, err := fs.ReadFile(name)
		if err != nil {
			fail("ReadFile(%q): %v", name, err)
		}
		if !bytes.Equal(whole, data) {
			fail("ReadFile(%q): %d bytes differ from the host's %d", name, len(whole), len(data))
		}
		checkRanges(fs, name, data)
		files++
	}
	if _, err := fs.Open("missing"); err == nil || !errors.Is(err, os.ErrNotExist) {
		fail("Open(missing): %v, want a not-exist error", err)
	}
	fmt.Printf("ok: %d shares, %d entries, %d files read whole and in ranges\n", len(names), len(host), files)
}
