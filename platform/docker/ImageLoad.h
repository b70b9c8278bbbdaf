#pragma once
// Loading a tarball into the daemon: one POST /images/load with the tarball
// as its body, read from a file or fed in chunks as they arrive (a deploy to
// the Containerz service). These block the calling thread on the daemon, as
// every synchronous Engine API call does; the agent's loop sends the same
// request in flight (DockerRuntimeLoads.cpp) and reads its answer here.
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/docker/DockerApiClient.h"

namespace Quayd {

// What the daemon said of a load.
struct ImageLoadAnswer {
   long status = 0;
   // Why it loaded nothing: the message of an error status, or the error
   // its answer ended in; empty when it loaded.
   String error;
   // What it loaded, as its answer names them ("bb:1", "sha256:...").
   std::vector< String > images;
};

// The load's request; the tarball is its body.
constexpr char const * kImageLoadPath = "/images/load?quiet=1";

// What the daemon's answer `r` to a load says.
ImageLoadAnswer imageLoadAnswer( DockerApiClient::Response const & r );
// The images the load of `tarball` gave; RuntimeException when it gave none.
std::vector< String > loadedImages( String const & tarball, ImageLoadAnswer const & a );

// Loads the tarball `tarball` reads, to its end. Transport failures throw
// RuntimeException, as the client's calls do.
ImageLoadAnswer loadImages( DockerApiClient & api, FILE * tarball );

// A piece of a tarball for a streamed load: its bytes, in one or more
// ranges that `keep` holds alive until the load has sent them.
struct ImageChunk {
   std::vector< std::string_view > ranges;
   std::shared_ptr< void const > keep;

   // A chunk that owns its bytes.
   static ImageChunk of( std::string bytes );
};

// A load whose tarball the caller hands over in chunks while a thread of its
// own sends them to the daemon; a chunk is moved to that thread, its bytes
// copied only into the daemon's request. Given up (abandon(), or destroyed before finish()), its
// body ends in a read error rather than at its end: the request is aborted, so the daemon never
// takes a partial tarball for a whole one.
class StreamedImageLoad {
 public:
   // Starts the load on `api`, which must outlive it. Throws
   // RuntimeException when it cannot.
   explicit StreamedImageLoad( DockerApiClient & api );
   ~StreamedImageLoad();
   StreamedImageLoad( StreamedImageLoad const & ) = delete;
   StreamedImageLoad & operator=( StreamedImageLoad const & ) = delete;

   // Takes the next chunk; waits while kChunksAhead are still unsent. False
   // once the load has ended: nothing more is taken.
   bool send( ImageChunk chunk );
   // The daemon's answer once every chunk has been sent.
   ImageLoadAnswer finish();
   void abandon();

   // Chunks taken ahead of the daemon: enough to keep it busy while the
   // next arrives, few enough that a slow daemon holds the sender back.
   static constexpr size_t kChunksAhead = 2;

 private:
   // The body of the load, as the daemon's request reads it.
   size_t read( char * buf, size_t size );
   // Ends the chunks: the tarball ends there, or (abandoned) breaks off.
   void end( bool abandoned );

   std::mutex mutex_;
   std::condition_variable changed_;
   std::deque< ImageChunk > chunks_;
   // What of chunks_.front() is already sent: whole ranges, bytes of the next.
   size_t frontRanges_ = 0;
   size_t frontRead_ = 0;
   bool ended_ = false;
   bool abandoned_ = false;
   bool loadOver_ = false; // the daemon answered, or the request failed
   std::thread loader_;
   ImageLoadAnswer answer_;
   std::exception_ptr failure_;
};

} // namespace Quayd
