#include "agent/ContainerPlan.h"

namespace Quayd {

MergedConfig mergedConfig( ContainerConfig const & c, ContainerConfig const * profile ) {
   MergedConfig out{ c.params(), c.bindMount() };
   if ( !profile ) {
      return out;
   }
   // Field by field: what the container leaves at the default comes from
   // the profile.
   nlohmann::json const defaults = ContainerParams{};
   nlohmann::json merged = profile->params();
   nlohmann::json const own = c.params();
   for ( auto const & [ field, value ] : own.items() ) {
      if ( value != defaults[ field ] ) {
         merged[ field ] = value;
      }
   }
   out.params = merged.get< ContainerParams >();
   for ( auto const & [ path, b ] : profile->bindMount() ) {
      out.bindMounts.emplace( path, b );
   }
   return out;
}

bool statusUpToDate( ContainerParams const & params,
                     std::map< String, BindMountEntry > const & bindMounts,
                     ContainerStatus const & status ) {
   if ( !status.params().isEq( params ) || status.bindMount().size() != bindMounts.size() ) {
      return false;
   }
   for ( auto const & [ key, entry ] : bindMounts ) {
      BindMountEntry const * current = status.bindMount( key );
      if ( !current || !current->isEq( entry ) ) {
         return false;
      }
   }
   return true;
}

} // namespace Quayd
