// The one image-load path, from a file and from streamed chunks, against a
// stand-in daemon that reads each request's body to its end (or its cut).
#include <gtest/gtest.h>

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/Exception.h"
#include "platform/docker/DockerRuntime.h"
#include "platform/docker/HeldDaemonTest.h"
#include "platform/docker/ImageLoad.h"
#include "platform/posix/PosixEventLoop.h"
#include "platform/posix/TestSpawner.h"
#include "platform/testing/FakeFileSystem.h"

namespace Quayd {
namespace {

// Answers each load with `status` and `body` once the tarball has all
// arrived; records each tarball that ended whole, and "cut" for one the
// client gave up first.
class LoadDaemon {
 public:
   LoadDaemon( int status, String body ) : status_( status ), body_( std::move( body ) ) {
      TestSocket t = listenOnTestSocket( 4 );
      dir_ = t.dir;
      path_ = t.path;
      fd_ = t.fd;
      thread_ = std::thread( [ this ] { serve(); } );
   }
   ~LoadDaemon() {
      ::shutdown( fd_, SHUT_RDWR );
      thread_.join();
      ::close( fd_ );
      std::filesystem::remove_all( dir_ );
   }
   String const & path() const { return path_; }
   // The tarballs once `n` connections have ended, or what came within 10 s:
   // a client's end reaches the daemon's thread a moment after the client.
   std::vector< String > bodies( size_t n ) const {
      std::unique_lock l( m_ );
      ended_.wait_for( l, std::chrono::seconds( 10 ), [ & ] { return bodies_.size() >= n; } );
      return bodies_;
   }

 private:
   void serve() {
      for ( int c; ( c = ::accept4( fd_, nullptr, nullptr, SOCK_CLOEXEC ) ) >= 0; ) {
         String in, tarball;
         char buf[ 4096 ];
         bool whole = false, continued = false;
         for ( ssize_t n; !whole && ( n = ::read( c, buf, sizeof buf ) ) > 0; ) {
            in.append( buf, size_t( n ) );
            whole = in.ends_with( "\r\n0\r\n\r\n" );
            // The client may wait for leave to send its body, as a daemon gives.
            if ( !continued && in.find( "\r\n\r\n" ) != String::npos ) {
               continued = true;
               if ( in.find( "Expect: 100-continue" ) != String::npos ) {
                  ::send( c, "HTTP/1.1 100 Continue\r\n\r\n", 25, MSG_NOSIGNAL );
               }
            }
         }
         // The chunked body after the headers: size lines and data in turn.
         for ( size_t at = in.find( "\r\n\r\n" ) + 4; whole && at < in.size(); ) {
            size_t const eol = in.find( "\r\n", at );
            if ( eol == String::npos ) {
               break;
            }
            size_t const size = std::stoul( in.substr( at, eol - at ), nullptr, 16 );
            tarball += in.substr( eol + 2, size );
            at = eol + 2 + size + 2;
         }
         {
            std::lock_guard l( m_ );
            bodies_.push_back( whole ? tarball : "cut" );
         }
         ended_.notify_all();
         if ( whole ) {
            String const out = "HTTP/1.1 " + std::to_string( status_ ) +
                               " X\r\nContent-Length: " + std::to_string( body_.size() ) +
                               "\r\nConnection: close\r\n\r\n" + body_;
            ::send( c, out.data(), out.size(), MSG_NOSIGNAL );
         }
         ::close( c );
      }
   }

   int status_;
   String body_;
   String dir_, path_;
   int fd_;
   mutable std::mutex m_;
   mutable std::condition_variable ended_;
   std::vector< String > bodies_;
   std::thread thread_;
};

struct AnswerCase {
   char const * story;
   int status;
   String body;
   ImageLoadAnswer want;
};

std::vector< AnswerCase > const kAnswers{
   AnswerCase{ "two images",
               200,
               R"({"stream":"Loaded image: bb:1\n"})"
               "\n"
               R"({"stream":"Loaded image ID: sha256:ab\n"})",
               { 200, "", { "bb:1", "sha256:ab" } } },
   AnswerCase{ "an answer that ends in an error",
               200,
               R"({"stream":"Loaded image: bb:1\n"})"
               "\n"
               R"({"error":"unexpected EOF"})",
               { 200, "unexpected EOF", {} } },
   AnswerCase{ "a refusal", 500, R"({"message":"no space left"})", { 500, "no space left", {} } },
   AnswerCase{ "an answer that names nothing", 200, R"({"stream":"\n"})", { 200, "", {} } },
};

TEST( ImageLoad, AFileLoadAnswersWhatTheDaemonLoadedOrWhyNot ) {
   for ( auto const & c : kAnswers ) {
      LoadDaemon daemon( c.status, c.body );
      DockerApiClient api( daemon.path() );
      std::FILE * f = std::tmpfile();
      std::fputs( "tarball", f );
      std::rewind( f );
      auto const a = loadImages( api, f );
      std::fclose( f );
      EXPECT_EQ( a.status, c.want.status ) << c.story;
      EXPECT_EQ( a.error, c.want.error ) << c.story;
      EXPECT_EQ( a.images, c.want.images ) << c.story;
      EXPECT_EQ( daemon.bodies( 1 ), std::vector< String >{ "tarball" } ) << c.story;
   }
}

// The agent's load in flight on its loop: the tarball read from its file in
// pieces, and the daemon's answer read as the blocking load reads it.
TEST( ImageLoad, ALoadInFlightSendsTheWholeFileAndAnswersAsTheBlockingOne ) {
   String tarball;
   while ( tarball.size() < 300000 ) { // more than one piece
      tarball += std::to_string( tarball.size() ) + ",";
   }
   for ( auto const & c : kAnswers ) {
      LoadDaemon daemon( c.status, c.body );
      Testing::FakeFileSystem files;
      files.addFile( "/run/d/daemon.json",
                     nlohmann::json{ { "hosts", { "unix://" + daemon.path() } } }.dump() );
      files.addFile( "/t/app.tar", tarball );
      DockerSettings settings;
      settings.runtimeDir = "/run/d";
      PosixEventLoop loop;
      Spawner const spawner = Testing::testSpawner();
      DockerRuntime rt( settings, files, spawner, &loop );
      std::optional< String > failure;
      std::vector< String > images;
      auto load = rt.loadImageAsync( "/t/app.tar", [ & ]( std::vector< String > const & loaded,
                                                          std::exception_ptr f ) {
         images = loaded;
         try {
            if ( f ) {
               std::rethrow_exception( f );
            }
            failure = "";
         } catch ( RuntimeException const & e ) {
            failure = e.what();
         }
      } );
      ASSERT_TRUE(
         loop.runUntil( [ & ] { return failure.has_value(); }, std::chrono::seconds( 10 ) ) )
         << c.story;
      EXPECT_EQ( images, c.want.images ) << c.story;
      if ( c.want.images.empty() ) {
         String const why = c.want.error.empty() ? "no image in the answer" : c.want.error;
         EXPECT_NE( failure->find( why ), String::npos ) << c.story << ": " << *failure;
      } else {
         EXPECT_EQ( *failure, "" ) << c.story;
      }
      auto const bodies = daemon.bodies( 1 );
      ASSERT_EQ( bodies.size(), 1u ) << c.story;
      EXPECT_TRUE( bodies[ 0 ] == tarball ) << c.story << ": " << bodies[ 0 ].size() << " bytes";
   }
}

// A deploy hands its chunks over as they arrive; one cut short never
// reaches the daemon as a whole tarball.
TEST( ImageLoad, StreamedChunksMakeOneTarballAndAnAbandonedOneIsCut ) {
   LoadDaemon daemon( 200, R"({"stream":"Loaded image: bb:1\n"})" );
   DockerApiClient api( daemon.path() );
   {
      StreamedImageLoad load( api );
      // Ranges of a chunk, an empty one among them, follow each other.
      EXPECT_TRUE( load.send( ImageChunk{ { "ta", "", "r" }, nullptr } ) );
      EXPECT_TRUE( load.send( ImageChunk::of( "ball" ) ) );
      auto const a = load.finish();
      EXPECT_EQ( a.images, std::vector< String >{ "bb:1" } );
   }
   {
      StreamedImageLoad load( api );
      EXPECT_TRUE( load.send( ImageChunk::of( "half" ) ) );
      load.abandon();
      EXPECT_THROW( load.finish(), RuntimeException );
   }
   {
      StreamedImageLoad load( api );
      EXPECT_TRUE( load.send( ImageChunk::of( "gone" ) ) );
      // Destroyed unfinished, as when the deploy's client goes.
   }
   EXPECT_EQ( daemon.bodies( 3 ), ( std::vector< String >{ "tarball", "cut", "cut" } ) );
}

// A daemon that dies in the middle of a load ends it: the sender, held back
// while the daemon was slow, is let go and refused further chunks, instead
// of holding the deploy forever.
TEST( ImageLoad, ALoadCutByTheDaemonRefusesFurtherChunks ) {
   TestSocket t = listenOnTestSocket( 1 );
   std::thread dies( [ &t ] {
      int const c = ::accept4( t.fd, nullptr, nullptr, SOCK_CLOEXEC );
      char buf[ 4096 ];
      for ( size_t got = 0; got < ( 1 << 20 ); ) {
         ssize_t const n = ::read( c, buf, sizeof buf );
         if ( n <= 0 ) {
            break;
         }
         got += size_t( n );
      }
      ::close( c );
   } );
   DockerApiClient api( t.path );
   {
      StreamedImageLoad load( api );
      size_t taken = 0;
      while ( taken < 1000 && load.send( ImageChunk::of( String( 256 << 10, 'x' ) ) ) ) {
         ++taken;
      }
      EXPECT_LT( taken, 1000u );
      EXPECT_THROW( load.finish(), RuntimeException );
   }
   dies.join();
   ::close( t.fd );
   std::filesystem::remove_all( t.dir );
}

} // namespace
} // namespace Quayd
