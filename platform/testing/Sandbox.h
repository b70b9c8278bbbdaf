#pragma once
// A test binary that touches the system's fixed paths moves into a private
// mount namespace with tmpfs over them, so the host's are never touched:
//
//   auto const * const sandbox = ::testing::AddGlobalTestEnvironment(
//      new Testing::PrivateMounts( { "/mnt", "/var/lib/docker" } ) );
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <vector>

namespace Quayd::Testing {

class PrivateMounts : public ::testing::Environment {
 public:
   PrivateMounts( std::initializer_list< char const * > paths ) : paths_( paths ) {}
   void SetUp() override {
      ASSERT_EQ( ::unshare( CLONE_NEWNS ), 0 ) << "needs root: " << std::strerror( errno );
      ASSERT_EQ( ::mount( nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr ), 0 );
      for ( char const * d : paths_ ) {
         std::filesystem::create_directories( d );
         ASSERT_EQ( ::mount( "tmpfs", d, "tmpfs", 0, "size=64m" ), 0 ) << d;
      }
   }

 private:
   std::vector< char const * > paths_;
};

} // namespace Quayd::Testing
